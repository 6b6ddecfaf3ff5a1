#include "foundation/pid_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <optional>

#include "foundation/fileutils.h"
#include "foundation/types.h"

namespace {

// ReadPid's result for a file that holds no PID.
constexpr int kNoPid = -1;

// 0, the error number of opening or reading, or kNoPid.
int ReadPid(const std::string& name, pid_t& pid) {
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buf[128];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  int err = errno;
  ::close(fd);
  if (n < 0) return err;
  size_t len = static_cast<size_t>(n) < 20 ? static_cast<size_t>(n) : 20;
  size_t end = 0;
  while (end < len && buf[end] != '\0' && buf[end] != '\n') ++end;
  std::string text = DaxTrim(std::string(buf, end));
  int32_t value = 0;
  // 0 and negative numbers would make a later kill() signal a process group.
  if (!DaxTryStrToInt(text, value) || value < 1) return kNoPid;
  pid = static_cast<pid_t>(value);
  return 0;
}

std::string DirectoryOf(const std::string& name) {
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

// An exclusive flock() on a directory, released when the object ends. Where
// the file system has no such lock, nothing is held.
class TDirectoryLock {
 public:
  explicit TDirectoryLock(const std::string& dir)
      : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) return;
    int rc;
    do {
      rc = ::flock(fd_, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
  }
  ~TDirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  TDirectoryLock(const TDirectoryLock&) = delete;
  TDirectoryLock& operator=(const TDirectoryLock&) = delete;

 private:
  int fd_;
};

// Replaces `file` with the PID text; a failure raises the file error of
// `shown`.
void WritePidText(const std::string& file, pid_t pid, const std::string& shown) {
  DaxDeleteFileNoRaise(file);
  // Exclusive and without following links: the name was just freed, so a
  // file or link that appears meanwhile is somebody else's.
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) DaxCheckFileCreateError(errno != 0 ? errno : -1, shown);
  std::string text = std::to_string(pid) + "\n";
  int code = DaxWriteAllNoRaise(fd, text.data(), text.size());
  if (::close(fd) != 0 && code == 0) code = errno != 0 ? errno : -1;
  DaxCheckFileWriteError(code, shown);
}

// A process that has ended but is not yet collected by its parent (a
// supervisor slow to reap, or a container's init that never does) still
// answers kill(pid, 0); its state in /proc tells.
bool IsZombie(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  // The state follows the command name, which may itself hold ')'.
  const size_t close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return false;
  const char state = line[close + 2];
  return state == 'Z' || state == 'X';
}

// EPERM: somebody else's process, but a running one.
bool IsRunning(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
  return !IsZombie(pid);
}

}  // namespace

void VekReadPidFile(const std::string& name, pid_t& pid) {
  const int code = ReadPid(name, pid);
  if (code == kNoPid) throw Exception("invalid PID value");
  if (code != 0) throw Exception(DaxErrorText(code));
}

TVEKPidFileState VekPidFileState(const std::string& name, pid_t self, pid_t also_self) {
  pid_t pid = 0;
  const int code = ReadPid(name, pid);
  if (code == ENOENT) {
    // A link to nothing still takes the name.
    struct stat st;
    return {::lstat(name.c_str(), &st) == 0 ? pfh_Gone : pfh_None, 0};
  }
  if (code == kNoPid) return {pfh_Gone, 0};
  if (code != 0) return {pfh_Unknown, 0};
  if (pid == self || (also_self > 0 && pid == also_self)) return {pfh_Gone, pid};
  return {IsRunning(pid) ? pfh_Live : pfh_Gone, pid};
}

TVEKPidTake VekTakePidFile(const std::string& name, pid_t pid, pid_t also_self) {
  // Unique among the takes of this process too.
  static std::atomic<unsigned> staged{0};
  const std::string staging = name + "." + std::to_string(pid) + "-" + std::to_string(staged++);
  struct TRemoveStaging {
    const std::string& name;
    ~TRemoveStaging() { DaxDeleteFileNoRaise(name); }
  } remove_staging{staging};
  WritePidText(staging, pid, name);

  TVEKPidTake take;
  std::optional<TDirectoryLock> lock;
  // Each round ends with the name taken by a live holder, or freed again;
  // the bound only guards against a file system that keeps changing.
  for (int round = 0; round < 100; ++round) {
    // link() fails when any file has the name: no take overwrites another.
    if (::link(staging.c_str(), name.c_str()) == 0) {
      take.Taken = true;
      return take;
    }
    if (errno != EEXIST) DaxCheckFileCreateError(errno != 0 ? errno : -1, name);
    const TVEKPidFileState found = VekPidFileState(name, pid, also_self);
    if (found.Holder == pfh_None) continue;
    if (found.Holder != pfh_Gone) {
      take.Found = found;
      return take;
    }
    // Two takes that both found the same gone holder: only the first to
    // hold the lock may free the name, the other then finds its holder.
    if (!lock) {
      lock.emplace(DirectoryOf(name));
      continue;
    }
    take.Found = found;
    const int code = DaxDeleteFileNoRaise(name);
    if (code != ENOENT) DaxCheckFileDeleteError(code, name);
  }
  DaxCheckFileCreateError(EEXIST, name);
  return take;
}
