#include "foundation/text_output.h"

#include <unistd.h>

#include <cerrno>

#include "foundation/charset.h"

namespace {

// Cuts the last `count` bytes written off the file again; a descriptor
// that cannot seek (a pipe, a terminal) keeps them.
void TakeBackWritten(int fd, size_t count) {
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  if (end < 0 || static_cast<size_t>(end) < count) return;
  const off_t start = end - static_cast<off_t>(count);
  // Back to the cut as well: a descriptor without O_APPEND would leave a
  // hole in front of its next write.
  if (::ftruncate(fd, start) == 0) ::lseek(fd, start, SEEK_SET);
}

bool Unsafe(char16_t c) {
  return (c < 0x20 && c != u'\t') || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x200E ||
         c == 0x200F || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

void DaxWriteLn(TDaxTextFile& f, const std::u16string& text) {
  std::string line = DaxHookUnicodeToSys(text);
  line += '\n';
  DaxTextWriteBytes(f, line.data(), line.size());
}

void DaxFlushText(TDaxTextFile& f) { DaxCheckFileWriteErrorF(f.FlushNoRaise(), f); }

void DaxWriteLnFlush(TDaxTextFile& f, const std::u16string& text) {
  DaxWriteLn(f, text);
  DaxFlushText(f);
}

int DaxWriteWholeNoRaise(TDaxTextFile& f, const std::string& bytes) {
  if (f.Mode() != TDaxTextFile::TMode::Output) return EBADF;
  const int pending = f.FlushNoRaise();
  if (pending != 0) return pending;
  const int fd = f.Descriptor();
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      // A short write may only have been cut by a signal: the rest is
      // tried, and its error decides.
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int code = n < 0 && errno != 0 ? errno : EIO;
    if (done > 0) TakeBackWritten(fd, done);
    return code;
  }
  return 0;
}

std::u16string VekSafeNetText(const std::u16string& text) {
  std::u16string safe = text;
  for (char16_t& c : safe)
    if (Unsafe(c)) c = u'?';
  return safe;
}
