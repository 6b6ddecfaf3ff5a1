#include "foundation/pid_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/fileutils.h"
#include "foundation/types.h"

void VekWritePidFile(const std::string& name, pid_t pid) {
  DaxDeleteFileNoRaise(name);
  // Exclusive and without following links: the name was just freed, so a
  // file or link that appears meanwhile is somebody else's.
  int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) DaxCheckFileCreateError(errno != 0 ? errno : -1, name);
  std::string text = std::to_string(pid) + "\n";
  int code = DaxWriteAllNoRaise(fd, text.data(), text.size());
  if (::close(fd) != 0 && code == 0) code = errno != 0 ? errno : -1;
  DaxCheckFileWriteError(code, name);
}

void VekReadPidFile(const std::string& name, pid_t& pid) {
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Exception(DaxErrorText(errno));
  char buf[128];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  int err = errno;
  ::close(fd);
  if (n < 0) throw Exception(DaxErrorText(err));
  size_t len = static_cast<size_t>(n) < 20 ? static_cast<size_t>(n) : 20;
  size_t end = 0;
  while (end < len && buf[end] != '\0' && buf[end] != '\n') ++end;
  std::string text = DaxTrim(std::string(buf, end));
  int32_t value = 0;
  // 0 and negative numbers would make a later kill() signal a process group.
  if (!DaxTryStrToInt(text, value) || value < 1) throw Exception("invalid PID value");
  pid = static_cast<pid_t>(value);
}
