#include "station/serial_port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "foundation/charset.h"
#include "foundation/fileutils.h"

static_assert(kDaxModemLE == TIOCM_LE && kDaxModemDTR == TIOCM_DTR && kDaxModemRTS == TIOCM_RTS &&
              kDaxModemST == TIOCM_ST && kDaxModemSR == TIOCM_SR && kDaxModemCTS == TIOCM_CTS &&
              kDaxModemCD == TIOCM_CD && kDaxModemRI == TIOCM_RI && kDaxModemDSR == TIOCM_DSR);

int DaxSerialOpen(const std::string& path, int flags, int& fd) {
  fd = -1;
  int h;
  do {
    h = ::open(path.c_str(), flags | O_CLOEXEC);
  } while (h < 0 && errno == EINTR);
  if (h < 0) return errno;
  termios tio{};
  if (::tcgetattr(h, &tio) != 0) {
    const int code = errno;
    ::close(h);
    return code;
  }
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B9600);
  ::cfsetospeed(&tio, B9600);
  tio.c_cflag |= HUPCL | CLOCAL;
  if (::tcsetattr(h, TCSANOW, &tio) != 0) {
    const int code = errno;
    ::close(h);
    return code;
  }
  fd = h;
  return 0;
}

int DaxSerialGetModemBits(int fd, int& bits) {
  int b = 0;
  if (::ioctl(fd, TIOCMGET, &b) != 0) return errno;
  bits = b;
  return 0;
}

int DaxSerialSetModemBits(int fd, int bits) {
  if (::ioctl(fd, TIOCMSET, &bits) != 0) return errno;
  return 0;
}

void DaxSerialClose(int fd) {
  if (fd >= 0) ::close(fd);
}

std::u16string DaxSerialErrorText(int code) {
  char head[48];
  std::snprintf(head, sizeof head, "Serial port error [%d]: ", code);
  return DaxHookSysToUnicode(std::string(head) + DaxErrorText(code));
}

int TDaxSystemSerialPort::Open(const std::string& path, int flags, int& fd) {
  return DaxSerialOpen(path, flags, fd);
}
int TDaxSystemSerialPort::GetModemBits(int fd, int& bits) {
  return DaxSerialGetModemBits(fd, bits);
}
int TDaxSystemSerialPort::SetModemBits(int fd, int bits) { return DaxSerialSetModemBits(fd, bits); }
void TDaxSystemSerialPort::Close(int fd) { DaxSerialClose(fd); }

TDaxSerialPort& DaxSystemSerialPort() {
  static TDaxSystemSerialPort port;
  return port;
}
