#include "foundation/line_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/charset.h"
#include "foundation/file_protect_rewrite.h"
#include "foundation/fileutils.h"

bool VekReadFileLines(const std::string& file_name, std::vector<std::string>& lines) {
  lines.clear();
  TDaxTextFile f;
  const int code = DaxResetTextNoRaise(f, file_name);
  if (code == ENOENT) return false;
  DaxCheckFileOpenError(code, file_name);
  std::string line;
  while (!DaxTextEof(f)) {
    DaxTextReadLine(f, line);
    if (lines.empty() && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    lines.push_back(line);
  }
  DaxCloseTextFile(f);
  return true;
}

void VekWritePrivateFile(const std::string& file_name, const std::string& data) {
  int fd;
  do {
    fd = ::open(file_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) DaxCheckFileCreateError(errno ? errno : EIO, file_name);
  int code = DaxWriteAllNoRaise(fd, data.data(), data.size());
  if (code == 0 && ::fsync(fd) != 0) code = errno ? errno : EIO;
  if (::close(fd) != 0 && code == 0 && errno != EINTR) code = errno ? errno : EIO;
  if (code != 0) {
    DaxDeleteFileNoRaise(file_name);
    DaxCheckFileWriteError(code, file_name);
  }
}

void VekReplaceFileWith(const std::string& file_name,
                        const std::function<void(const std::string& path)>& write,
                        const std::string& temp_dir) {
  TFileRewriteProtector protector(file_name, temp_dir);
  write(protector.WritePath());
  protector.Commit();
}

bool VekHasLineBreakingChar(const std::u16string& text) {
  return text.find_first_of(u"|\r\n") != std::u16string::npos;
}

void VekCheckStorableValue(const std::u16string& text, const std::string& file_name) {
  if (VekHasLineBreakingChar(text))
    throw EFileException("value \"" + DaxUnicodeToSys(text) + "\" cannot be stored in file \"" +
                         file_name + "\": it holds \"|\", CR or LF");
}
