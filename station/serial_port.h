// The serial-port calls behind the COM radio interface: open in raw mode at
// 9600 baud, the modem-control bits (TIOCMGET/TIOCMSET) and close. Codes are
// 0 or the platform error number. TDaxSerialPort is the seam: the COM
// interface only talks to a port object, so tests drive the modem lines of a
// fake one.
#pragma once

#include <string>

// Linux modem-control bits (TIOCM_*), as the COM interface's wires use them.
inline constexpr int kDaxModemLE = 0x001;
inline constexpr int kDaxModemDTR = 0x002;
inline constexpr int kDaxModemRTS = 0x004;
inline constexpr int kDaxModemST = 0x008;
inline constexpr int kDaxModemSR = 0x010;
inline constexpr int kDaxModemCTS = 0x020;
inline constexpr int kDaxModemCD = 0x040;
inline constexpr int kDaxModemRI = 0x080;
inline constexpr int kDaxModemDSR = 0x100;

// Opens the path with `flags` (close-on-exec is always added), makes the
// terminal raw at 9600 baud with HUPCL and CLOCAL. 0 and the descriptor, or
// the error number (nothing left open).
int DaxSerialOpen(const std::string& path, int flags, int& fd);
// 0 and the modem bits, or the error number.
int DaxSerialGetModemBits(int fd, int& bits);
int DaxSerialSetModemBits(int fd, int bits);
void DaxSerialClose(int fd);
// "Serial port error [<code>]: <the system's text>".
std::u16string DaxSerialErrorText(int code);

class TDaxSerialPort {
 public:
  virtual ~TDaxSerialPort() = default;
  // The COM interface opens with O_RDWR | O_NONBLOCK | O_NOCTTY.
  virtual int Open(const std::string& path, int flags, int& fd) = 0;
  virtual int GetModemBits(int fd, int& bits) = 0;
  virtual int SetModemBits(int fd, int bits) = 0;
  virtual void Close(int fd) = 0;
};

// The machine's serial ports, through the Dax calls above. Stateless; one
// shared object serves every interface.
class TDaxSystemSerialPort : public TDaxSerialPort {
 public:
  int Open(const std::string& path, int flags, int& fd) override;
  int GetModemBits(int fd, int& bits) override;
  int SetModemBits(int fd, int bits) override;
  void Close(int fd) override;
};

TDaxSerialPort& DaxSystemSerialPort();
