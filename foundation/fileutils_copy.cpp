#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include "foundation/fileutils.h"
#include "foundation/fileutils_internal.h"

using namespace dax_fileutils;

// ---------------------------------------------------------------------------
// Copy and delete

int DaxCopyFileData(TDaxBinaryFile& src, TDaxBinaryFile& dst, int64_t count, void* buffer,
                    int buffer_size) {
  if (buffer_size <= 0) throw EFileException("invalid buffer size");
  if (buffer == nullptr) throw EFileException("invalid buffer");
  while (count > 0) {
    size_t want = static_cast<int64_t>(buffer_size) < count ? static_cast<size_t>(buffer_size)
                                                            : static_cast<size_t>(count);
    size_t got = 0;
    int code = DaxBlockReadNoRaise(src, buffer, want, got);
    if (code != 0) return code;
    if (got == 0) return 0;
    size_t written = 0;
    code = DaxBlockWriteNoRaise(dst, buffer, got, written);
    if (code != 0) return code;
    count -= static_cast<int64_t>(got);
  }
  return 0;
}

namespace {

// `tree`: a step of a recursive copy, where neither end may be a link.
int CopyFileImpl(const std::string& src, const std::string& dst, void* buffer, int buffer_size,
                 bool tree) {
  TDaxBinaryFile in;
  in.Assign(src);
  int code = in.OpenNoRaise(O_RDONLY | (tree ? O_NOFOLLOW : 0));
  if (code != 0) return code;
  struct stat st {};
  mode_t src_mode = 0777;
  if (::fstat(in.Descriptor(), &st) == 0) src_mode = st.st_mode & 0777;
  TDaxBinaryFile out;
  out.Assign(dst);
  code = out.OpenNoRaise(O_WRONLY | O_CREAT | O_TRUNC | (tree ? O_NOFOLLOW : 0));
  if (code != 0) return code;
  // Keep a private source private while the copy is under way, too; only
  // withhold bits (never grant what the umask took away), and keep the
  // copy writable for its owner. Not fatal: the data copy is what counts.
  struct stat out_st {};
  if (::fstat(out.Descriptor(), &out_st) == 0) {
    const mode_t narrowed = (out_st.st_mode & 0777) & (src_mode | S_IWUSR);
    if (narrowed != (out_st.st_mode & 0777)) ::fchmod(out.Descriptor(), narrowed);
  }
  try {
    code = DaxCopyFileData(in, out, std::numeric_limits<int64_t>::max(), buffer, buffer_size);
  } catch (...) {
    out.CloseNoRaise();
    DaxDeleteFileNoRaise(dst);
    throw;
  }
  int close_code = out.CloseNoRaise();
  if (code == 0) code = close_code;
  if (code != 0) DaxDeleteFileNoRaise(dst);
  return code;
}

}  // namespace

int DaxCopyFileNoRaise(const std::string& src, const std::string& dst, void* buffer,
                       int buffer_size) {
  return CopyFileImpl(src, dst, buffer, buffer_size, false);
}

namespace {

int CopyLink(const std::string& src, const std::string& dst) {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = ::readlink(src.c_str(), buf.data(), buf.size());
    if (n < 0) return LastError();
    if (static_cast<size_t>(n) < buf.size()) {
      std::string target(buf.data(), static_cast<size_t>(n));
      if (::symlink(target.c_str(), dst.c_str()) != 0) return LastError();
      return 0;
    }
    if (buf.size() > (1u << 20)) return ENAMETOOLONG;
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

int DaxCopyDirContents(const std::string& src, const std::string& dst, std::vector<char>& buffer,
                       int buffer_size) {
  std::vector<TDaxSearchRec> entries;
  int code = DaxListDirectory(src, "*", kDaxAttrAnyFile, entries, true);
  if (code != 0) return code;
  for (const TDaxSearchRec& e : entries) {
    std::string from = src + "/" + e.Name;
    std::string to = dst + "/" + e.Name;
    if (DaxIsDirectoryAttr(e.Attr)) {
      if (DaxIsDotEntry(e.Name)) continue;
      code = DaxCopyDirInto(from, dst, buffer, buffer_size);
      if (code != 0) return code;
      continue;
    }
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return LastError();
    if (S_ISLNK(st.st_mode)) {
      code = CopyLink(from, to);
      if (code != 0) return code;
      continue;
    }
    uint32_t attr = 0;
    code = DaxGetFileAttributesNoRaise(from, attr);
    if (code != 0) return code;
    if (buffer.empty() && buffer_size > 0) buffer.resize(static_cast<size_t>(buffer_size));
    code = CopyFileImpl(from, to, buffer.empty() ? nullptr : buffer.data(), buffer_size, true);
    if (code != 0) return code;
    code = DaxSetFileAttributesNoRaise(to, attr);
    if (code != 0) return code;
  }
  return 0;
}

int DaxCopyDirInto(const std::string& src, const std::string& dst_parent,
                   std::vector<char>& buffer, int buffer_size) {
  std::string source = DaxExcludeTrailingSlashes(src);
  uint32_t attr = 0;
  int code = DaxGetFileAttributesNoRaise(source, attr);
  if (code != 0) return code;
  if (DaxIsNotDirectoryAttr(attr)) return ENOTDIR;  // also a link: never followed
  struct stat src_st {};
  if (::lstat(source.c_str(), &src_st) != 0) return LastError();
  std::string target = dst_parent + "/" + BaseName(source);
  struct stat st {};
  if (::lstat(target.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    code = DaxCreateDirNoRaise(target, src_st.st_mode & 0777);
    if (code != 0) return code;
    code = DaxSetFileAttributesNoRaise(target, attr);
    if (code != 0) return code;
  }
  return DaxCopyDirContents(source, target, buffer, buffer_size);
}

int DaxCopyDirectory(const std::string& src, const std::string& dst_parent) {
  std::vector<char> buffer;
  return DaxCopyDirInto(src, dst_parent, buffer, 0x40000);
}

int DaxClearDirectory(const std::string& dir) {
  std::string path = DaxExcludeTrailingSlashes(dir);
  struct stat st {};
  if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return kErrPathNotFound;
  std::vector<TDaxSearchRec> entries;
  int code = DaxListDirectory(path, "*", kDaxAttrAnyFile, entries, true);
  if (code != 0) return code;
  for (const TDaxSearchRec& e : entries) {
    std::string entry = path + "/" + e.Name;
    if (DaxIsDirectoryAttr(e.Attr)) {
      if (DaxIsDotEntry(e.Name)) continue;
      code = DaxDeleteDirectory(entry);
    } else {
      code = DaxDeleteFileNoRaise(entry);
    }
    if (code != 0) return code;
  }
  return 0;
}

int DaxDeleteDirectory(const std::string& dir) {
  std::string path = DaxExcludeTrailingSlashes(dir);
  if (BaseName(path).empty()) return DaxClearDirectory(path);
  int code = DaxClearDirectory(path);
  if (code != 0) return code;
  if (::rmdir(path.c_str()) != 0) return LastError();
  return 0;
}
