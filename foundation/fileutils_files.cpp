#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "foundation/fileutils.h"
#include "foundation/fileutils_internal.h"

using namespace dax_fileutils;

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

int TDaxTextFile::OpenNoRaise(TMode mode, int flags, size_t buffer_size, unsigned perms) {
  CloseNoRaise();
  if (name_.empty()) return kErrFileNotFound;
  int fd = RetryOpen(name_.c_str(), flags, perms);
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

int DaxOpenLogTextNoRaise(TDaxTextFile& f, const std::string& name) {
  f.Assign(name);
  // Non-blocking: opening a pipe for writing would wait for a reader. The
  // file is created only where nothing has the name (O_EXCL never follows a
  // link); one that appears in between is opened on the next round.
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK;
  int code = ENOENT;
  for (int round = 0; round < 3 && (code == ENOENT || code == EEXIST); ++round) {
    code = f.OpenNoRaise(TDaxTextFile::TMode::Output, kFlags, 0);
    if (code == ENOENT)
      code = f.OpenNoRaise(TDaxTextFile::TMode::Output, kFlags | O_CREAT | O_EXCL, 0, 0600);
  }
  // A pipe without a reader, or a device that is not there.
  if (code == ENXIO) return kDaxErrNotRegularFile;
  if (code != 0) return code;
  const int fd = f.Descriptor();
  struct stat st {};
  int err = ::fstat(fd, &st) != 0 ? LastError() : 0;
  if (err == 0 && !S_ISREG(st.st_mode)) err = kDaxErrNotRegularFile;
  if (err != 0) {
    f.CloseNoRaise();
    return err;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl != -1) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return 0;
}

void DaxOpenLogText(TDaxTextFile& f, const std::string& name) {
  const int code = DaxOpenLogTextNoRaise(f, name);
  if (code == ELOOP || code == kDaxErrNotRegularFile)
    throw EFileException("error [" + std::to_string(code) + "] of opening or creating file \"" +
                         name + "\": not a regular file (a symbolic link, a pipe or a device): " +
                         "the log is written only to a regular file");
  DaxCheckFileOpenOrCreateError(code, name);
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

int DaxWriteAllNoRaise(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t w = ::write(fd, p, size);
    if (w < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    p += w;
    size -= static_cast<size_t>(w);
  }
  return 0;
}
