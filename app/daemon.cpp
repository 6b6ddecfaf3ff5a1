#include "app/daemon.h"

#include <unistd.h>

#include <cerrno>

namespace {

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

TVEKDaemonReport::~TVEKDaemonReport() { CloseIfOpen(fd_); }

void TVEKDaemonReport::Send(int code) {
  if (fd_ < 0) return;
  const unsigned char byte = static_cast<unsigned char>(code);
  ssize_t n;
  do n = write(fd_, &byte, 1);
  while (n < 0 && errno == EINTR);
  CloseIfOpen(fd_);
}
