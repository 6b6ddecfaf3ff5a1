// Helpers shared by the file-utility units (not for other callers).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "foundation/fileutils.h"

namespace dax_fileutils {

constexpr int kErrFileNotFound = 2;
constexpr int kErrPathNotFound = 3;

inline int LastError() { return errno != 0 ? errno : -1; }

inline int RetryOpen(const char* name, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::open(name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The last path component, without trailing slashes.
inline std::string BaseName(const std::string& path) {
  std::string p = DaxExcludeTrailingSlashes(path);
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

inline uint32_t AttrFromStat(const struct stat& st, const std::string& name) {
  uint32_t attr = 0;
  if (S_ISDIR(st.st_mode)) attr |= kDaxAttrDirectory;
  if (S_ISREG(st.st_mode)) attr |= kDaxAttrArchive;
  if ((st.st_mode & S_IWUSR) == 0) attr |= kDaxAttrReadOnly;
  if (!name.empty() && name[0] == '.') attr |= kDaxAttrHidden;
  return attr;
}

}  // namespace dax_fileutils
