// File and directory operations with their exact error texts, the path
// helpers, the program and temporary directories, directory listing,
// recursive copy and delete, and unique names for temporary files.
//
// Every operation comes in a non-raising form that returns a result code
// (0 = success, else the platform error number, 2 for an empty file name, 3
// for a missing directory where one is required, -1 where stated) and, where
// a failure is usually fatal, a raising form that turns the code into an
// EFileException. File names are 8-bit system-charset text. Nothing here
// keeps shared state; two threads must not use the same file object at once.
//
// The implementation is split by concern: fileutils.cpp (error texts and
// raisers), fileutils_files.cpp (text and binary file objects),
// fileutils_dirs.cpp (directories, attributes, listing), fileutils_paths.cpp
// (path rules, program and temporary directories), fileutils_copy.cpp
// (recursive copy and delete), fileutils_names.cpp (unique names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EFileException, Exception);
// Only for failed opens, so callers can tell them apart.
DAX_DECLARE_EXCEPTION(EFileExceptionOpenError, EFileException);

// The platform's (untranslated) message for an error number; thread-safe.
std::string DaxErrorText(int code);

// ---------------------------------------------------------------------------
// File objects. Each is bound to a name before it is opened; error texts
// quote the bound name. Names are kept whole (no length bound), so a long
// path opens exactly that file or fails.

// Buffered line-oriented file: read line by line, or written through its
// buffer. Closing (or destroying) an output file flushes it.
class TDaxTextFile {
 public:
  enum class TMode { Closed, Input, Output };
  static constexpr size_t kDefaultBufferSize = 4096;

  TDaxTextFile() = default;
  TDaxTextFile(const TDaxTextFile&) = delete;
  TDaxTextFile& operator=(const TDaxTextFile&) = delete;
  ~TDaxTextFile();

  void Assign(const std::string& name) { name_ = name; }
  const std::string& Name() const { return name_; }
  TMode Mode() const { return mode_; }
  bool IsOpen() const { return mode_ != TMode::Closed; }
  int Descriptor() const { return fd_; }

  // Binds an already open descriptor for output (the console); it is not
  // closed by Close, only flushed.
  void AttachOutput(int fd, const std::string& name);

  // Internal entry points of the free functions below. `perms`: the mode
  // of a file the open creates (before the umask).
  int OpenNoRaise(TMode mode, int flags, size_t buffer_size, unsigned perms = 0666);
  int CloseNoRaise();
  int FlushNoRaise();
  int WriteNoRaise(const void* data, size_t size);
  int ReadLineNoRaise(std::string& line);
  int EofNoRaise(bool& eof);

 private:
  int Fill();

  std::string name_;
  int fd_ = -1;
  bool owns_fd_ = true;
  TMode mode_ = TMode::Closed;
  std::vector<char> buffer_;
  size_t pos_ = 0;  // input: next unread byte; output: bytes pending
  size_t len_ = 0;  // input: bytes in the buffer
  bool at_end_ = false;
};

// Unbuffered byte file.
class TDaxBinaryFile {
 public:
  TDaxBinaryFile() = default;
  TDaxBinaryFile(const TDaxBinaryFile&) = delete;
  TDaxBinaryFile& operator=(const TDaxBinaryFile&) = delete;
  ~TDaxBinaryFile();

  void Assign(const std::string& name) { name_ = name; }
  const std::string& Name() const { return name_; }
  bool IsOpen() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }

  int OpenNoRaise(int flags);
  int CloseNoRaise();

 private:
  std::string name_;
  int fd_ = -1;
};

// ---------------------------------------------------------------------------
// Raisers. The DaxCheck forms do nothing for code 0.

// error [%d] of writing file "%s": %s
void DaxCheckFileWriteError(int code, const std::string& name);
void DaxCheckFileWriteErrorF(int code, const TDaxTextFile& file);
// error [%d] of reading file "%s": %s  (raises unconditionally)
[[noreturn]] void DaxRaiseFileReadError(int code, const std::string& name);
// error [%d] of opening file "%s": %s  (EFileExceptionOpenError)
std::string DaxFormatOpenError(int code, const std::string& name);
void DaxCheckFileOpenError(int code, const std::string& name);
// error [%d] of creating file "%s": %s
void DaxCheckFileCreateError(int code, const std::string& name);
// error [%d] of seeking on the file "%s": %s
void DaxCheckFileSeekError(int code, const std::string& name);
// error [%d] of opening or creating file "%s": %s
void DaxCheckFileOpenOrCreateError(int code, const std::string& name);
// error [%d] of creating directory "%s": %s
void DaxCheckDirCreateError(int code, const std::string& name);
// error [%d] of deleting file "%s": %s
void DaxCheckFileDeleteError(int code, const std::string& name);
// error [%d] of getting attributes of file "%s": %s
void DaxCheckGetAttrError(int code, const std::string& name);
// error [%d] of renaming file/dir "%s" to "%s": %s
void DaxCheckRenameError(int code, const std::string& old_name, const std::string& new_name);
// error [%d] of execute "%s": %s  (text only)
std::string DaxFormatExecuteError(int code, const std::string& program);

// ---------------------------------------------------------------------------
// Directories, rename, delete, attributes

// Trailing slashes are removed before the call; the message quotes the name
// as given. Mode defaults to 0777 (less the umask).
int DaxCreateDirNoRaise(const std::string& name, unsigned mode = 0777);
void DaxCreateDir(const std::string& name, unsigned mode = 0777);
// Creates the directory and every missing parent. An existing directory
// ("/" included) is success; an empty path gives -1.
int DaxForceDirectoriesNoRaise(const std::string& path, unsigned mode = 0777);
void DaxForceDirectories(const std::string& path, unsigned mode = 0777);
// The same for a directory a privileged program creates files in: every
// level is opened without following a link (ELOOP), and a level that
// belongs to a user other than the program's own or root is refused (EPERM),
// since its owner could redirect what is made below it. 0 and a descriptor
// of the directory (close-on-exec, the caller closes it), or the code and in
// `failed` the level that failed.
int DaxOpenTrustedDirectoriesNoRaise(const std::string& path, unsigned mode, int& fd, std::string& failed);
// Removes everything inside an open directory, links themselves and never
// what they point to. 0, or the first failure's code (the rest is still
// tried).
int DaxClearDirectoryAt(int fd);

int DaxRenameFileNoRaise(const std::string& old_name, const std::string& new_name);
void DaxRenameFile(const std::string& old_name, const std::string& new_name);

// Deletes a file (a symbolic link itself, never its target).
int DaxDeleteFileNoRaise(const std::string& name);
void DaxDeleteFile(const std::string& name);

// Attribute word, from lstat (a link is never followed).
constexpr uint32_t kDaxAttrReadOnly = 0x01;
constexpr uint32_t kDaxAttrHidden = 0x02;
constexpr uint32_t kDaxAttrSystem = 0x04;
constexpr uint32_t kDaxAttrDirectory = 0x10;
constexpr uint32_t kDaxAttrArchive = 0x20;
constexpr uint32_t kDaxAttrAnyFile = 0x37;

int DaxGetFileAttributesNoRaise(const std::string& name, uint32_t& attr);
uint32_t DaxGetFileAttributes(const std::string& name);
// Only the read-only bit means something here: set, every write permission
// is removed; clear, the owner may write. Directories and links are left as
// they are (their read-only bit does not forbid writing on the original
// platform).
int DaxSetFileAttributesNoRaise(const std::string& name, uint32_t attr);

// ---------------------------------------------------------------------------
// Text files

int DaxCloseTextFile(TDaxTextFile& f);
// Appends bytes through the buffer; a file not open for writing fails.
void DaxTextWriteBytes(TDaxTextFile& f, const void* data, size_t size);
// Reads one line (ended by LF, CR or CR LF, or the end of the file).
void DaxTextReadLine(TDaxTextFile& f, std::string& line);
int DaxTextReadLineNoRaise(TDaxTextFile& f, std::string& line);
// True when no byte remains; raises the reading error on a read failure.
bool DaxTextEof(TDaxTextFile& f);

// Open for reading.
int DaxResetTextNoRaise(TDaxTextFile& f, const std::string& name);
int DaxResetAssignedTextNoRaise(TDaxTextFile& f);
void DaxResetText(TDaxTextFile& f, const std::string& name);
// The same with a buffer of the given size (the default when 0).
int DaxResetTextBufferedNoRaise(TDaxTextFile& f, const std::string& name, size_t buffer_size);
int DaxResetAssignedTextBufferedNoRaise(TDaxTextFile& f, size_t buffer_size);
void DaxResetTextBuffered(TDaxTextFile& f, const std::string& name, size_t buffer_size);
// Open a bound file for appending (it must exist).
int DaxAppendTextNoRaise(TDaxTextFile& f);
void DaxAppendText(TDaxTextFile& f);
// Create or truncate a bound file.
int DaxRewriteTextNoRaise(TDaxTextFile& f);
int DaxRewriteAssignedTextBufferedNoRaise(TDaxTextFile& f, size_t buffer_size);
void DaxRewriteTextOpened(TDaxTextFile& f);
// Create or truncate by name.
int DaxCreateTextNoRaise(TDaxTextFile& f, const std::string& name);
void DaxCreateText(TDaxTextFile& f, const std::string& name);
int DaxCreateTextBufferedNoRaise(TDaxTextFile& f, const std::string& name, size_t buffer_size);
void DaxCreateTextBuffered(TDaxTextFile& f, const std::string& name, size_t buffer_size);
// Append, or create when appending fails.
int DaxAppendOrCreateTextNoRaise(TDaxTextFile& f, const std::string& name);
int DaxAppendOrRewriteAssignedTextNoRaise(TDaxTextFile& f);
void DaxAppendOrCreateText(TDaxTextFile& f, const std::string& name);
// The log: appended to, or created readable by its owner only (0600); never
// truncated, an existing file's mode never changed. Only a regular file is
// taken: a symbolic link at the name is not followed, and a link or another
// kind of file (a folder, a pipe, a device) is refused, so a link planted
// in a shared folder cannot turn the log onto another file. A refused kind
// gives ELOOP (a link), EISDIR or kDaxErrNotRegularFile; the raising form
// names the refusal in its "opening or creating file" error.
constexpr int kDaxErrNotRegularFile = -2;
int DaxOpenLogTextNoRaise(TDaxTextFile& f, const std::string& name);
void DaxOpenLogText(TDaxTextFile& f, const std::string& name);

// ---------------------------------------------------------------------------
// Binary files. Access modes: 0 read only, 1 write only, 2 read and write.

int DaxCloseBinaryFile(TDaxBinaryFile& f);
int DaxRewriteBinaryNoRaise(TDaxBinaryFile& f, const std::string& name);
int DaxRewriteAssignedBinaryNoRaise(TDaxBinaryFile& f);
void DaxRewriteBinary(TDaxBinaryFile& f, const std::string& name);
int DaxResetBinaryNoRaise(TDaxBinaryFile& f, const std::string& name, int mode);
int DaxResetAssignedBinaryNoRaise(TDaxBinaryFile& f, int mode);
void DaxResetBinary(TDaxBinaryFile& f, const std::string& name, int mode);
// Writes all bytes to a descriptor (interrupted writes go on): 0, or the
// error number (-1 when none is set).
int DaxWriteAllNoRaise(int fd, const void* data, size_t size);
// Writes the whole block unless an error stops it; `written` is the count.
int DaxBlockWriteNoRaise(TDaxBinaryFile& f, const void* data, size_t size, size_t& written);
// Reads up to `size` bytes; 0 read means the end of the file.
int DaxBlockReadNoRaise(TDaxBinaryFile& f, void* data, size_t size, size_t& read);
int DaxSeekBinaryNoRaise(TDaxBinaryFile& f, int64_t position);
int DaxFileSizeNoRaise(TDaxBinaryFile& f, int64_t& size);

// ---------------------------------------------------------------------------
// Path helpers

std::string DaxIncludeTrailingSlash(const std::string& path);
std::u16string DaxIncludeTrailingSlashW(const std::u16string& path);
std::string DaxExcludeTrailingSlashes(const std::string& path);
std::u16string DaxExcludeTrailingSlashesW(const std::u16string& path);
// True when path + "/" contains neither "/../" nor "/./".
bool DaxIsPathWithoutDotSegments(const std::string& path);
bool DaxIsDotEntry(const std::string& name);
inline bool DaxIsDirectoryAttr(uint32_t attr) { return (attr & kDaxAttrDirectory) != 0; }
inline bool DaxIsNotDirectoryAttr(uint32_t attr) { return (attr & kDaxAttrDirectory) == 0; }
// 0 relative, 2 absolute; 1 (drive-relative) never occurs here.
int DaxGetPathKind(const std::u16string& path);

// Lexical expansion to an absolute path: a relative path is joined to the
// current directory; empty, "." and ".." components are resolved, links are
// not looked at, and no trailing slash is left (except for "/").
std::string DaxExpandFileName(const std::string& path);
std::u16string DaxExpandFileNameW(const std::u16string& path);

std::string DaxGetProgramPath();
std::string DaxGetProgramDirWithSlash();
std::string DaxGetProgramDir();
// The first non-empty of TEMP, TMP, TMPDIR, TEMPDIR, expanded; the program's
// directory when that is not an existing directory or none is set. Ends
// with "/".
std::string DaxGetTempDir();
// The same without the fallback: empty when the environment names no
// existing directory.
std::string DaxGetEnvTempDir();

// ---------------------------------------------------------------------------
// Directory listing

struct TDaxSearchRec {
  std::string Name;
  uint32_t Attr = 0;
  int64_t Size = 0;
  int64_t ModifiedSec = 0;  // modification time, seconds since the epoch
  int32_t ModifiedNsec = 0;
};

// True when the name matches the wildcard mask ("*" any run, "?" one byte).
bool DaxMatchesMask(const std::string& name, const std::string& mask);
// An entry is listed unless it has a hidden, system or directory bit that the
// attribute mask lacks.
bool DaxAttrMatches(uint32_t attr, uint32_t attr_mask);
// Lists the entries of a directory ("." and ".." included when the mask
// admits directories) in the platform's order. With `no_follow` a link in
// place of the directory itself is refused. 0, or the code of the failure
// (3 when the directory does not exist).
int DaxListDirectory(const std::string& dir, const std::string& mask, uint32_t attr_mask,
                     std::vector<TDaxSearchRec>& out, bool no_follow = false);
// Appends dir + "/" + name for every entry that matches the mask and the
// attribute mask without its directory bit (so no directories). Returns the
// listing's code.
int DaxFindFiles(const std::string& dir, const std::string& mask, uint32_t attr_mask,
                 std::vector<std::string>& out);

// ---------------------------------------------------------------------------
// Copy and delete. Recursive copy and delete never follow symbolic links: a
// link is copied as a link and deleted itself.

// Raises "invalid buffer size" / "invalid buffer" before anything is copied.
int DaxCopyFileData(TDaxBinaryFile& src, TDaxBinaryFile& dst, int64_t count, void* buffer,
                    int buffer_size);
// A failed copy leaves no destination file.
int DaxCopyFileNoRaise(const std::string& src, const std::string& dst, void* buffer,
                       int buffer_size);
// `buffer` is allocated (buffer_size bytes) on first need and kept.
int DaxCopyDirContents(const std::string& src, const std::string& dst, std::vector<char>& buffer,
                       int buffer_size);
int DaxCopyDirInto(const std::string& src, const std::string& dst_parent,
                   std::vector<char>& buffer, int buffer_size);
int DaxCopyDirectory(const std::string& src, const std::string& dst_parent);
// 3 when the directory does not exist (so "" and "/" delete nothing).
int DaxClearDirectory(const std::string& dir);
int DaxDeleteDirectory(const std::string& dir);

// ---------------------------------------------------------------------------
// Unique names

// 10 characters of 0-9 and A-Z derived from the local time, a, b, s1 and s2.
std::string DaxMakeUniqueName(uint32_t a, uint32_t b, const std::string& s1,
                              const std::string& s2);
// A free hidden name "." + prefix + unique name in the directory (the name
// only). 0, -1 when every candidate is taken, or the search's code.
int DaxMakeUniqueTempFileName(const std::string& dir, const std::string& prefix,
                              std::string& name);
// The same, but the file is created (empty, mode 0600, O_EXCL|O_NOFOLLOW) so
// nobody else can take or redirect the name; collisions try the next name.
int DaxCreateUniqueTempFile(const std::string& dir, const std::string& prefix,
                            std::string& name);
// A private directory (mode 0700) with a free hidden name "." + prefix +
// unique name in the directory, opened without following a link: 0, the
// name and its descriptor (close-on-exec, the caller closes it), or the code.
int DaxCreatePrivateTempDir(const std::string& dir, const std::string& prefix, std::string& name, int& fd);
// A random number 0 <= r < bound from the unit's private generator.
uint32_t DaxRandomBelow(uint32_t bound);
