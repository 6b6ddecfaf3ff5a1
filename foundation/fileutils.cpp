#include "foundation/fileutils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>

#include "foundation/charset.h"
#include "foundation/hex.h"

namespace {

constexpr int kErrFileNotFound = 2;
constexpr int kErrPathNotFound = 3;

int LastError() { return errno != 0 ? errno : -1; }

std::string FormatError(const char* what, int code, const std::string& name) {
  return "error [" + std::to_string(code) + "] of " + what + " \"" + name + "\": " +
         DaxErrorText(code);
}

[[noreturn]] void RaiseFile(const char* what, int code, const std::string& name) {
  throw EFileException(FormatError(what, code, name));
}

int RetryOpen(const char* name, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::open(name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The last path component, without trailing slashes.
std::string BaseName(const std::string& path) {
  std::string p = DaxExcludeTrailingSlashes(path);
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

uint32_t AttrFromStat(const struct stat& st, const std::string& name) {
  uint32_t attr = 0;
  if (S_ISDIR(st.st_mode)) attr |= kDaxAttrDirectory;
  if (S_ISREG(st.st_mode)) attr |= kDaxAttrArchive;
  if ((st.st_mode & S_IWUSR) == 0) attr |= kDaxAttrReadOnly;
  if (!name.empty() && name[0] == '.') attr |= kDaxAttrHidden;
  return attr;
}

std::mt19937_64& Generator() {
  thread_local std::mt19937_64 gen([] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), static_cast<unsigned>(::getpid()),
                      static_cast<unsigned>(::time(nullptr))};
    return std::mt19937_64(seq);
  }());
  return gen;
}

// Days since 1899-12-30 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468 + 25569;  // 1970-01-01 is 25569
}

double LocalDateTimeNow() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  struct tm tm {};
  ::localtime_r(&secs, &tm);
  double day = static_cast<double>(DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday));
  double ms = ((tm.tm_hour * 60.0 + tm.tm_min) * 60.0 + tm.tm_sec) * 1000.0 +
              static_cast<double>(ts.tv_nsec / 1000000);
  return day + ms / 86400000.0;
}

}  // namespace

std::string DaxErrorText(int code) {
  const char* text = ::strerrordesc_np(code);
  if (text != nullptr) return text;
  return "Unknown error " + std::to_string(code);
}

// ---------------------------------------------------------------------------
// Raisers

void DaxCheckFileWriteError(int code, const std::string& name) {
  if (code != 0) RaiseFile("writing file", code, name);
}

void DaxCheckFileWriteErrorF(int code, const TDaxTextFile& file) {
  DaxCheckFileWriteError(code, file.Name());
}

void DaxRaiseFileReadError(int code, const std::string& name) {
  RaiseFile("reading file", code, name);
}

std::string DaxFormatOpenError(int code, const std::string& name) {
  return FormatError("opening file", code, name);
}

void DaxCheckFileOpenError(int code, const std::string& name) {
  if (code != 0) throw EFileExceptionOpenError(DaxFormatOpenError(code, name));
}

void DaxCheckFileCreateError(int code, const std::string& name) {
  if (code != 0) RaiseFile("creating file", code, name);
}

void DaxCheckFileSeekError(int code, const std::string& name) {
  if (code != 0) RaiseFile("seeking on the file", code, name);
}

void DaxCheckFileOpenOrCreateError(int code, const std::string& name) {
  if (code != 0) RaiseFile("opening or creating file", code, name);
}

void DaxCheckDirCreateError(int code, const std::string& name) {
  if (code != 0) RaiseFile("creating directory", code, name);
}

void DaxCheckFileDeleteError(int code, const std::string& name) {
  if (code != 0) RaiseFile("deleting file", code, name);
}

void DaxCheckGetAttrError(int code, const std::string& name) {
  if (code != 0) RaiseFile("getting attributes of file", code, name);
}

void DaxCheckRenameError(int code, const std::string& old_name, const std::string& new_name) {
  if (code != 0)
    throw EFileException("error [" + std::to_string(code) + "] of renaming file/dir \"" +
                         old_name + "\" to \"" + new_name + "\": " + DaxErrorText(code));
}

std::string DaxFormatExecuteError(int code, const std::string& program) {
  return FormatError("execute", code, program);
}

// ---------------------------------------------------------------------------
// Directories, rename, delete, attributes

int DaxCreateDirNoRaise(const std::string& name, unsigned mode) {
  std::string p = DaxExcludeTrailingSlashes(name);
  if (p.empty() && !name.empty()) p = "/";
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
// Text file object

TDaxTextFile::~TDaxTextFile() { CloseNoRaise(); }

void TDaxTextFile::AttachOutput(int fd, const std::string& name) {
  CloseNoRaise();
  name_ = name;
  fd_ = fd;
  owns_fd_ = false;
  mode_ = TMode::Output;
  buffer_.assign(kDefaultBufferSize, 0);
  pos_ = len_ = 0;
  at_end_ = false;
}

int TDaxTextFile::OpenNoRaise(TMode mode, int flags, size_t buffer_size) {
  CloseNoRaise();
  if (name_.empty()) return kErrFileNotFound;
  int fd = RetryOpen(name_.c_str(), flags, 0666);
  if (fd < 0) return LastError();
  if (mode == TMode::Input) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      return EISDIR;
    }
  }
  fd_ = fd;
  owns_fd_ = true;
  mode_ = mode;
  buffer_.assign(buffer_size > 0 ? buffer_size : kDefaultBufferSize, 0);
  pos_ = len_ = 0;
  at_end_ = false;
  return 0;
}

int TDaxTextFile::FlushNoRaise() {
  if (mode_ != TMode::Output) return mode_ == TMode::Closed ? EBADF : 0;
  size_t done = 0;
  while (done < pos_) {
    ssize_t n = ::write(fd_, buffer_.data() + done, pos_ - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = LastError();
      // The caller gets the error; the unwritten rest is dropped so that a
      // later flush does not write it out of place.
      pos_ = 0;
      return err;
    }
    done += static_cast<size_t>(n);
  }
  pos_ = 0;
  return 0;
}

int TDaxTextFile::CloseNoRaise() {
  if (mode_ == TMode::Closed) return 0;
  int code = FlushNoRaise();
  if (owns_fd_ && fd_ >= 0 && ::close(fd_) != 0 && code == 0) code = LastError();
  fd_ = -1;
  owns_fd_ = true;
  mode_ = TMode::Closed;
  buffer_.clear();
  buffer_.shrink_to_fit();
  pos_ = len_ = 0;
  at_end_ = false;
  return code;
}

int TDaxTextFile::WriteNoRaise(const void* data, size_t size) {
  if (mode_ != TMode::Output) return EBADF;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    size_t room = buffer_.size() - pos_;
    size_t n = size < room ? size : room;
    std::memcpy(buffer_.data() + pos_, p, n);
    pos_ += n;
    p += n;
    size -= n;
    if (pos_ == buffer_.size()) {
      int code = FlushNoRaise();
      if (code != 0) return code;
    }
  }
  return 0;
}

int TDaxTextFile::Fill() {
  pos_ = len_ = 0;
  for (;;) {
    ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) at_end_ = true;
    len_ = static_cast<size_t>(n);
    return 0;
  }
}

int TDaxTextFile::EofNoRaise(bool& eof) {
  if (mode_ != TMode::Input) {
    eof = true;
    return mode_ == TMode::Closed ? EBADF : 0;
  }
  if (pos_ < len_) {
    eof = false;
    return 0;
  }
  if (!at_end_) {
    int code = Fill();
    if (code != 0) return code;
  }
  eof = pos_ >= len_;
  return 0;
}

int TDaxTextFile::ReadLineNoRaise(std::string& line) {
  line.clear();
  if (mode_ != TMode::Input) return EBADF;
  for (;;) {
    if (pos_ >= len_) {
      if (at_end_) return 0;
      int code = Fill();
      if (code != 0) return code;
      if (len_ == 0) return 0;
    }
    const char* start = buffer_.data() + pos_;
    size_t avail = len_ - pos_;
    size_t i = 0;
    while (i < avail && start[i] != '\n' && start[i] != '\r') ++i;
    line.append(start, i);
    pos_ += i;
    if (i == avail) continue;
    char end = buffer_[pos_++];
    if (end == '\r') {
      // CR LF is one line end, also when the LF is in the next buffer load.
      if (pos_ >= len_ && !at_end_) {
        int code = Fill();
        if (code != 0) return code;
      }
      if (pos_ < len_ && buffer_[pos_] == '\n') ++pos_;
    }
    return 0;
  }
}

// ---------------------------------------------------------------------------
// Binary file object

TDaxBinaryFile::~TDaxBinaryFile() { CloseNoRaise(); }

int TDaxBinaryFile::OpenNoRaise(int flags) {
  CloseNoRaise();
  if (name_.empty()) return kErrFileNotFound;
  int fd = RetryOpen(name_.c_str(), flags, 0666);
  if (fd < 0) return LastError();
  fd_ = fd;
  return 0;
}

int TDaxBinaryFile::CloseNoRaise() {
  if (fd_ < 0) return 0;
  int code = ::close(fd_) != 0 ? LastError() : 0;
  fd_ = -1;
  return code;
}

// ---------------------------------------------------------------------------
// Text files

int DaxCloseTextFile(TDaxTextFile& f) { return f.CloseNoRaise(); }

void DaxTextWriteBytes(TDaxTextFile& f, const void* data, size_t size) {
  DaxCheckFileWriteErrorF(f.WriteNoRaise(data, size), f);
}

int DaxTextReadLineNoRaise(TDaxTextFile& f, std::string& line) {
  return f.ReadLineNoRaise(line);
}

void DaxTextReadLine(TDaxTextFile& f, std::string& line) {
  int code = f.ReadLineNoRaise(line);
  if (code != 0) DaxRaiseFileReadError(code, f.Name());
}

bool DaxTextEof(TDaxTextFile& f) {
  bool eof = true;
  int code = f.EofNoRaise(eof);
  if (code != 0) DaxRaiseFileReadError(code, f.Name());
  return eof;
}

namespace {
constexpr int kReadFlags = O_RDONLY;
constexpr int kRewriteFlags = O_WRONLY | O_CREAT | O_TRUNC;
constexpr int kAppendFlags = O_WRONLY | O_APPEND;
}  // namespace

int DaxResetAssignedTextBufferedNoRaise(TDaxTextFile& f, size_t buffer_size) {
  return f.OpenNoRaise(TDaxTextFile::TMode::Input, kReadFlags, buffer_size);
}

int DaxResetTextBufferedNoRaise(TDaxTextFile& f, const std::string& name, size_t buffer_size) {
  f.Assign(name);
  return DaxResetAssignedTextBufferedNoRaise(f, buffer_size);
}

void DaxResetTextBuffered(TDaxTextFile& f, const std::string& name, size_t buffer_size) {
  DaxCheckFileOpenError(DaxResetTextBufferedNoRaise(f, name, buffer_size), name);
}

int DaxResetAssignedTextNoRaise(TDaxTextFile& f) {
  return DaxResetAssignedTextBufferedNoRaise(f, 0);
}

int DaxResetTextNoRaise(TDaxTextFile& f, const std::string& name) {
  return DaxResetTextBufferedNoRaise(f, name, 0);
}

void DaxResetText(TDaxTextFile& f, const std::string& name) {
  DaxCheckFileOpenError(DaxResetTextNoRaise(f, name), name);
}

int DaxAppendTextNoRaise(TDaxTextFile& f) {
  return f.OpenNoRaise(TDaxTextFile::TMode::Output, kAppendFlags, 0);
}

void DaxAppendText(TDaxTextFile& f) { DaxCheckFileOpenError(DaxAppendTextNoRaise(f), f.Name()); }

int DaxRewriteAssignedTextBufferedNoRaise(TDaxTextFile& f, size_t buffer_size) {
  return f.OpenNoRaise(TDaxTextFile::TMode::Output, kRewriteFlags, buffer_size);
}

int DaxRewriteTextNoRaise(TDaxTextFile& f) { return DaxRewriteAssignedTextBufferedNoRaise(f, 0); }

void DaxRewriteTextOpened(TDaxTextFile& f) {
  DaxCheckFileOpenError(DaxRewriteTextNoRaise(f), f.Name());
}

int DaxCreateTextBufferedNoRaise(TDaxTextFile& f, const std::string& name, size_t buffer_size) {
  f.Assign(name);
  return DaxRewriteAssignedTextBufferedNoRaise(f, buffer_size);
}

void DaxCreateTextBuffered(TDaxTextFile& f, const std::string& name, size_t buffer_size) {
  DaxCheckFileCreateError(DaxCreateTextBufferedNoRaise(f, name, buffer_size), name);
}

int DaxCreateTextNoRaise(TDaxTextFile& f, const std::string& name) {
  return DaxCreateTextBufferedNoRaise(f, name, 0);
}

void DaxCreateText(TDaxTextFile& f, const std::string& name) {
  DaxCheckFileCreateError(DaxCreateTextNoRaise(f, name), name);
}

int DaxAppendOrRewriteAssignedTextNoRaise(TDaxTextFile& f) {
  if (f.Name().empty()) return kErrFileNotFound;
  if (DaxAppendTextNoRaise(f) == 0) return 0;
  return DaxRewriteTextNoRaise(f);
}

int DaxAppendOrCreateTextNoRaise(TDaxTextFile& f, const std::string& name) {
  f.Assign(name);
  return DaxAppendOrRewriteAssignedTextNoRaise(f);
}

void DaxAppendOrCreateText(TDaxTextFile& f, const std::string& name) {
  DaxCheckFileOpenOrCreateError(DaxAppendOrCreateTextNoRaise(f, name), name);
}

// ---------------------------------------------------------------------------
// Binary files

int DaxCloseBinaryFile(TDaxBinaryFile& f) { return f.CloseNoRaise(); }

int DaxRewriteAssignedBinaryNoRaise(TDaxBinaryFile& f) {
  return f.OpenNoRaise(O_RDWR | O_CREAT | O_TRUNC);
}

int DaxRewriteBinaryNoRaise(TDaxBinaryFile& f, const std::string& name) {
  f.Assign(name);
  return DaxRewriteAssignedBinaryNoRaise(f);
}

void DaxRewriteBinary(TDaxBinaryFile& f, const std::string& name) {
  DaxCheckFileCreateError(DaxRewriteBinaryNoRaise(f, name), name);
}

int DaxResetAssignedBinaryNoRaise(TDaxBinaryFile& f, int mode) {
  int flags;
  switch (mode) {
    case 0: flags = O_RDONLY; break;
    case 1: flags = O_WRONLY; break;
    case 2: flags = O_RDWR; break;
    default: return EINVAL;
  }
  return f.OpenNoRaise(flags);
}

int DaxResetBinaryNoRaise(TDaxBinaryFile& f, const std::string& name, int mode) {
  f.Assign(name);
  return DaxResetAssignedBinaryNoRaise(f, mode);
}

void DaxResetBinary(TDaxBinaryFile& f, const std::string& name, int mode) {
  DaxCheckFileOpenError(DaxResetBinaryNoRaise(f, name, mode), name);
}

int DaxBlockWriteNoRaise(TDaxBinaryFile& f, const void* data, size_t size, size_t& written) {
  written = 0;
  if (!f.IsOpen()) return EBADF;
  const char* p = static_cast<const char*>(data);
  while (written < size) {
    ssize_t n = ::write(f.Descriptor(), p + written, size - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    written += static_cast<size_t>(n);
  }
  return 0;
}

int DaxBlockReadNoRaise(TDaxBinaryFile& f, void* data, size_t size, size_t& read) {
  read = 0;
  if (!f.IsOpen()) return EBADF;
  for (;;) {
    ssize_t n = ::read(f.Descriptor(), data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    read = static_cast<size_t>(n);
    return 0;
  }
}

int DaxSeekBinaryNoRaise(TDaxBinaryFile& f, int64_t position) {
  if (!f.IsOpen()) return EBADF;
  if (::lseek(f.Descriptor(), static_cast<off_t>(position), SEEK_SET) < 0) return LastError();
  return 0;
}

int DaxFileSizeNoRaise(TDaxBinaryFile& f, int64_t& size) {
  if (!f.IsOpen()) return EBADF;
  struct stat st {};
  if (::fstat(f.Descriptor(), &st) != 0) return LastError();
  size = st.st_size;
  return 0;
}

// ---------------------------------------------------------------------------
// Path helpers

std::string DaxIncludeTrailingSlash(const std::string& path) {
  if (!path.empty() && path.back() == '/') return path;
  return path + '/';
}

std::u16string DaxIncludeTrailingSlashW(const std::u16string& path) {
  if (!path.empty() && path.back() == u'/') return path;
  return path + u'/';
}

std::string DaxExcludeTrailingSlashes(const std::string& path) {
  size_t n = path.size();
  while (n > 0 && path[n - 1] == '/') --n;
  return path.substr(0, n);
}

std::u16string DaxExcludeTrailingSlashesW(const std::u16string& path) {
  size_t n = path.size();
  while (n > 0 && path[n - 1] == u'/') --n;
  return path.substr(0, n);
}

bool DaxIsPathWithoutDotSegments(const std::string& path) {
  std::string p = path + '/';
  return p.find("/../") == std::string::npos && p.find("/./") == std::string::npos;
}

bool DaxIsDotEntry(const std::string& name) { return name == "." || name == ".."; }

int DaxGetPathKind(const std::u16string& path) {
  return !path.empty() && path[0] == u'/' ? 2 : 0;
}

namespace {

template <typename S>
S ExpandLexically(const S& path, const S& cwd) {
  using C = typename S::value_type;
  S full = path;
  if (full.empty() || full[0] != C('/')) {
    full = cwd;
    full += C('/');
    full += path;
  }
  std::vector<S> parts;
  size_t i = 0;
  while (i < full.size()) {
    while (i < full.size() && full[i] == C('/')) ++i;
    size_t j = i;
    while (j < full.size() && full[j] != C('/')) ++j;
    S part = full.substr(i, j - i);
    i = j;
    if (part.empty() || (part.size() == 1 && part[0] == C('.'))) continue;
    if (part.size() == 2 && part[0] == C('.') && part[1] == C('.')) {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(std::move(part));
  }
  S out;
  for (const S& part : parts) {
    out += C('/');
    out += part;
  }
  if (out.empty()) out = S(1, C('/'));
  return out;
}

std::string CurrentDir() {
  std::vector<char> buf(4096);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) return buf.data();
    if (errno != ERANGE || buf.size() > (1u << 20)) return "/";
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

std::string DaxExpandFileName(const std::string& path) {
  if (!path.empty() && path[0] == '/') return ExpandLexically(path, std::string());
  return ExpandLexically(path, CurrentDir());
}

std::u16string DaxExpandFileNameW(const std::u16string& path) {
  if (!path.empty() && path[0] == u'/') return ExpandLexically(path, std::u16string());
  return ExpandLexically(path, DaxHookSysToUnicode(CurrentDir()));
}

std::string DaxGetProgramPath() {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buf.size())
      return DaxExpandFileName(std::string(buf.data(), static_cast<size_t>(n)));
    if (buf.size() > (1u << 20)) return std::string();
    buf.resize(buf.size() * 2);
  }
}

std::string DaxGetProgramDirWithSlash() {
  std::string path = DaxGetProgramPath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "/";
  return path.substr(0, slash + 1);
}

std::string DaxGetProgramDir() {
  std::string dir = DaxGetProgramDirWithSlash();
  if (dir.size() > 1) dir.pop_back();
  return dir;
}

std::string DaxGetTempDir() {
  static const char* const kNames[] = {"TEMP", "TMP", "TMPDIR", "TEMPDIR"};
  for (const char* name : kNames) {
    std::string value = DaxGetEnvValue(name);
    if (value.empty()) continue;
    std::string dir = DaxExcludeTrailingSlashes(value);
    dir = DaxExpandFileName(dir.empty() ? std::string("/") : dir);
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return DaxIncludeTrailingSlash(dir);
    break;
  }
  return DaxGetProgramDirWithSlash();
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

// ---------------------------------------------------------------------------
// Unique names

uint32_t DaxRandomBelow(uint32_t bound) {
  if (bound == 0) return 0;
  std::uniform_int_distribution<uint32_t> dist(0, bound - 1);
  return dist(Generator());
}

std::string DaxMakeUniqueName(uint32_t a, uint32_t b, const std::string& s1,
                              const std::string& s2) {
  double now = LocalDateTimeNow();
  unsigned char stamp[8];
  std::memcpy(stamp, &now, sizeof stamp);
  unsigned char a_bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(a >> 8),
                              static_cast<unsigned char>(a >> 16),
                              static_cast<unsigned char>(a >> 24)};
  unsigned char b_bytes[4] = {static_cast<unsigned char>(b), static_cast<unsigned char>(b >> 8),
                              static_cast<unsigned char>(b >> 16),
                              static_cast<unsigned char>(b >> 24)};
  uint32_t c1 = DaxCrc32Update(0, stamp, 8);
  c1 = DaxCrc32Update(c1, a_bytes, 4);
  c1 = DaxCrc32String(c1, s1);
  uint32_t c2 = DaxCrc32Update(0xFFFFFFFFu, stamp, 8);
  c2 = DaxCrc32Update(c2, b_bytes, 4);
  c2 = DaxCrc32String(c2, s2);
  uint64_t v = ((static_cast<uint64_t>(c2) << 32) | c1) & 0x7FFFFFFFFFFFFFFFull;
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string out(10, '0');
  for (int i = 0; i < 10; ++i) {
    out[static_cast<size_t>(i)] = kDigits[v % 36];
    v /= 36;
  }
  return out;
}

namespace {

constexpr int kNameTaken = std::numeric_limits<int>::min();

// Calls try_name(path) for each candidate: kNameTaken (try the next one), 0
// free, else an error code to return.
template <typename F>
int TryUniqueNames(const std::string& dir, const std::string& prefix, std::string& name,
                   F try_name) {
  struct stat st {};
  std::string d = DaxExcludeTrailingSlashes(dir);
  if (d.empty()) d = dir.empty() ? std::string(".") : std::string("/");
  if (::stat(d.c_str(), &st) != 0)
    return errno == ENOENT || errno == ENOTDIR ? kErrPathNotFound : LastError();
  if (!S_ISDIR(st.st_mode)) return kErrPathNotFound;
  for (uint32_t i = 2; i <= 128; ++i) {
    uint32_t r = DaxRandomBelow(0x7FFFFFFE);
    std::string candidate =
        "." + prefix + DaxMakeUniqueName(r, i, dir, std::to_string(r) + std::to_string(i));
    int result = try_name(d + "/" + candidate);
    if (result == kNameTaken) continue;
    if (result == 0) name = candidate;
    return result;
  }
  return -1;
}

}  // namespace

int DaxMakeUniqueTempFileName(const std::string& dir, const std::string& prefix,
                              std::string& name) {
  return TryUniqueNames(dir, prefix, name, [](const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return kNameTaken;
    return errno == ENOENT ? 0 : LastError();
  });
}

int DaxCreateUniqueTempFile(const std::string& dir, const std::string& prefix,
                            std::string& name) {
  return TryUniqueNames(dir, prefix, name, [](const std::string& path) {
    int fd = RetryOpen(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      ::close(fd);
      return 0;
    }
    return errno == EEXIST ? kNameTaken : LastError();
  });
}
