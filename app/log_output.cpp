#include "app/log_output.h"

#include <cerrno>

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/text_output.h"
#include "foundation/types.h"

void TVEKOutputFile::AttachDescriptor(int fd, const std::string& name) {
  auto file = std::make_unique<TDaxTextFile>();
  file->AttachOutput(fd, name);
  file_ = std::move(file);
  name_ = name;
  is_log_ = false;
}

void TVEKOutputFile::OpenLog(const std::string& name) {
  auto file = std::make_unique<TDaxTextFile>();
  DaxOpenLogText(*file, name);
  file_ = std::move(file);
  name_ = name;
  is_log_ = true;
}

void TVEKOutputFile::Reopen() {
  if (!is_log_) return;
  auto file = std::make_unique<TDaxTextFile>();
  DaxOpenLogText(*file, name_);
  std::swap(file, file_);
  if (file) {
    file->FlushNoRaise();
    DaxCloseTextFile(*file);
  }
}

void TVEKOutputFile::Close() {
  if (file_) {
    file_->FlushNoRaise();
    DaxCloseTextFile(*file_);
  }
  file_.reset();
}

std::string TVEKOutputFile::LostLinesNotice() const {
  const std::u16string count = DaxIntToStrW(static_cast<int64_t>(lost_));
  const std::u16string text = VekLogStamp() + u"Log: " + count +
                              (lost_ == 1 ? u" line" : u" lines") + u" could not be written (" +
                              DaxSysToUnicodeProc(DaxErrorText(last_error_)) + u")";
  return DaxHookUnicodeToSys(text) + "\n";
}

void TVEKOutputFile::WriteLines(const std::u16string& prefix,
                                const std::vector<std::u16string>& texts,
                                TVEKLineCharset charset) {
  if (!file_ || texts.empty()) return;
  int code = 0;
  try {
    std::string block;
    if (lost_ > 0) block = LostLinesNotice();
    for (const std::u16string& text : texts) {
      const std::u16string line = VekSafeNetText(prefix + text);
      block +=
          charset == TVEKLineCharset::Utf8 ? DaxUnicodeToUtf8(line) : DaxHookUnicodeToSys(line);
      block += '\n';
    }
    code = DaxWriteWholeNoRaise(*file_, block);
  } catch (const std::exception&) {
    // Only memory can run out here; the lines are lost like unwritten ones.
    code = ENOMEM;
  }
  if (code == 0) {
    lost_ = 0;
    return;
  }
  lost_ += texts.size();
  last_error_ = code;
}

std::u16string VekLogStamp() { return DaxDateTimeToLogText(DaxNowLocal()) + u": "; }
