#include "support/small_tmpfs.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vektest {

std::unique_ptr<SmallTmpfs> SmallTmpfs::Mount(size_t bytes, std::string* why) {
  std::unique_ptr<SmallTmpfs> fs(new SmallTmpfs());
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (fs->path().empty() ||
      ::mount("tmpfs", fs->path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    if (why) *why = std::string("mount -t tmpfs: ") + std::strerror(errno);
    return nullptr;
  }
  fs->mounted_ = true;
  return fs;
}

SmallTmpfs::~SmallTmpfs() {
  if (mounted_) ::umount2(path().c_str(), MNT_DETACH);
}

void SmallTmpfs::Fill() {
  const std::string filler = *this / ".filler";
  const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  // Large pieces first, then single bytes for the last page.
  const std::vector<char> zeros(1 << 16, 0);
  for (size_t piece : {zeros.size(), size_t{4096}, size_t{1}})
    while (::write(fd, zeros.data(), piece) > 0) {
    }
  ::close(fd);
}

void SmallTmpfs::Unfill() { ::unlink((*this / ".filler").c_str()); }

}  // namespace vektest
