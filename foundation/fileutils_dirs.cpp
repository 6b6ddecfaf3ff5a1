#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "foundation/fileutils.h"
#include "foundation/fileutils_internal.h"

using namespace dax_fileutils;

// ---------------------------------------------------------------------------
// Directories, rename, delete, attributes

int DaxCreateDirNoRaise(const std::string& name, unsigned mode) {
  std::string p = DaxExcludeTrailingSlashes(name);
  if (p.empty() && !name.empty()) p.assign(1, '/');
  if (::mkdir(p.c_str(), mode) != 0) return LastError();
  return 0;
}

void DaxCreateDir(const std::string& name, unsigned mode) {
  DaxCheckDirCreateError(DaxCreateDirNoRaise(name, mode), name);
}

int DaxForceDirectoriesNoRaise(const std::string& path, unsigned mode) {
  if (path.empty()) return -1;
  std::string p = path;
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  struct stat st {};
  if (::stat(p.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : EEXIST;
  // Create every missing level from the top down; a level that appears
  // meanwhile (another process) is fine.
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i != p.size() && p[i] != '/') continue;
    if (p[i - 1] == '/') continue;  // repeated slash
    std::string level = p.substr(0, i);
    if (::mkdir(level.c_str(), mode) == 0) continue;
    int err = errno;
    // An existing level that is no directory is reported by the next level.
    if (err == EEXIST &&
        (i != p.size() || (::stat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode))))
      continue;
    return err != 0 ? err : -1;
  }
  return 0;
}

void DaxForceDirectories(const std::string& path, unsigned mode) {
  DaxCheckDirCreateError(DaxForceDirectoriesNoRaise(path, mode), path);
}

namespace {

// Opens one level below `parent` (creating it when missing) and vouches for
// it: a link or a level set up by another user could redirect every file
// made below it.
int OpenTrustedLevel(int parent, const std::string& name, unsigned mode, int& fd) {
  if (::mkdirat(parent, name.c_str(), mode) != 0 && errno != EEXIST) return LastError();
  do {
    fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = LastError();
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return ELOOP;
    return err;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = LastError();
    ::close(fd);
    return err;
  }
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    ::close(fd);
    return EPERM;
  }
  return 0;
}

}  // namespace

int DaxOpenTrustedDirectoriesNoRaise(const std::string& path, unsigned mode, int& fd, std::string& failed) {
  fd = -1;
  failed = path;
  if (path.empty()) return -1;
  const bool absolute = path[0] == '/';
  int current = RetryOpen(absolute ? "/" : ".", O_RDONLY | O_DIRECTORY, 0);
  if (current < 0) return LastError();
  struct stat st {};
  if (absolute && ::fstat(current, &st) == 0 && st.st_uid != 0 && st.st_uid != ::geteuid()) {
    ::close(current);
    failed.assign(1, '/');
    return EPERM;
  }
  std::string level(absolute ? 0 : 1, '.');
  for (size_t start = 0; start < path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    level += "/" + name;
    int next = -1;
    const int code = OpenTrustedLevel(current, name, mode, next);
    ::close(current);
    if (code != 0) {
      failed = level;
      return code;
    }
    current = next;
  }
  fd = current;
  return 0;
}

int DaxClearDirectoryAt(int fd) {
  const int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup < 0) return LastError();
  DIR* d = ::fdopendir(dup);
  if (d == nullptr) {
    const int err = LastError();
    ::close(dup);
    return err;
  }
  int code = 0;
  while (struct dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (DaxIsDotEntry(name)) continue;
    if (::unlinkat(fd, name.c_str(), 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) {
      if (code == 0) code = LastError();
      continue;
    }
    // A directory: emptied through its own descriptor, never through a link.
    int sub;
    do {
      sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (sub < 0 && errno == EINTR);
    int rc = sub < 0 ? LastError() : DaxClearDirectoryAt(sub);
    if (sub >= 0) ::close(sub);
    if (rc == 0 && ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) rc = LastError();
    if (code == 0) code = rc;
  }
  ::closedir(d);
  return code;
}

int DaxRenameFileNoRaise(const std::string& old_name, const std::string& new_name) {
  if (::rename(old_name.c_str(), new_name.c_str()) != 0) return LastError();
  return 0;
}

void DaxRenameFile(const std::string& old_name, const std::string& new_name) {
  DaxCheckRenameError(DaxRenameFileNoRaise(old_name, new_name), old_name, new_name);
}

int DaxDeleteFileNoRaise(const std::string& name) {
  if (name.empty()) return kErrFileNotFound;
  if (::unlink(name.c_str()) != 0) return LastError();
  return 0;
}

void DaxDeleteFile(const std::string& name) {
  DaxCheckFileDeleteError(DaxDeleteFileNoRaise(name), name);
}

int DaxGetFileAttributesNoRaise(const std::string& name, uint32_t& attr) {
  if (name.empty()) return kErrFileNotFound;
  struct stat st {};
  if (::lstat(name.c_str(), &st) != 0) return LastError();
  attr = AttrFromStat(st, BaseName(name));
  return 0;
}

uint32_t DaxGetFileAttributes(const std::string& name) {
  uint32_t attr = 0;
  DaxCheckGetAttrError(DaxGetFileAttributesNoRaise(name, attr), name);
  return attr;
}

int DaxSetFileAttributesNoRaise(const std::string& name, uint32_t attr) {
  if (name.empty()) return kErrFileNotFound;
  struct stat st {};
  if (::lstat(name.c_str(), &st) != 0) return LastError();
  if (!S_ISREG(st.st_mode)) return 0;
  mode_t mode = st.st_mode & 07777;
  if (attr & kDaxAttrReadOnly)
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    mode |= S_IWUSR;
  if (mode == (st.st_mode & 07777)) return 0;
  if (::chmod(name.c_str(), mode) != 0) return LastError();
  return 0;
}

// ---------------------------------------------------------------------------
// Directory listing

bool DaxMatchesMask(const std::string& name, const std::string& mask) {
  // Iterative wildcard match with back-tracking to the last "*".
  size_t n = 0, m = 0, star = std::string::npos, mark = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      mark = n;
    } else if (star != std::string::npos) {
      m = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

bool DaxAttrMatches(uint32_t attr, uint32_t attr_mask) {
  const uint32_t special = kDaxAttrHidden | kDaxAttrSystem | kDaxAttrDirectory;
  return (attr & special & ~attr_mask) == 0;
}

int DaxListDirectory(const std::string& dir, const std::string& mask, uint32_t attr_mask,
                     std::vector<TDaxSearchRec>& out, bool no_follow) {
  std::string path = DaxExcludeTrailingSlashes(dir);
  if (path.empty()) path = dir.empty() ? std::string() : std::string("/");
  if (path.empty()) return kErrPathNotFound;
  int fd = RetryOpen(path.c_str(), O_RDONLY | O_DIRECTORY | (no_follow ? O_NOFOLLOW : 0), 0);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR || err == ELOOP) return kErrPathNotFound;
    return err != 0 ? err : -1;
  }
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    int err = LastError();
    ::close(fd);
    return err;
  }
  int code = 0;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (e == nullptr) {
      if (errno != 0) code = errno;
      break;
    }
    std::string name = e->d_name;
    if (!DaxMatchesMask(name, mask)) continue;
    struct stat st {};
    if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    TDaxSearchRec rec;
    rec.Name = std::move(name);
    rec.Attr = AttrFromStat(st, rec.Name);
    if (!DaxAttrMatches(rec.Attr, attr_mask)) continue;
    rec.Size = st.st_size;
    rec.ModifiedSec = st.st_mtim.tv_sec;
    rec.ModifiedNsec = static_cast<int32_t>(st.st_mtim.tv_nsec);
    out.push_back(std::move(rec));
  }
  ::closedir(d);
  return code;
}

int DaxFindFiles(const std::string& dir, const std::string& mask, uint32_t attr_mask,
                 std::vector<std::string>& out) {
  std::vector<TDaxSearchRec> entries;
  int code = DaxListDirectory(dir, mask, attr_mask & ~kDaxAttrDirectory, entries);
  for (const TDaxSearchRec& e : entries) out.push_back(dir + "/" + e.Name);
  return code;
}
