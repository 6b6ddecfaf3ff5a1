// Where the front end's lines go: standard output (or error), or the log
// file, which a reopen replaces only once the new file is open.
//
// Every line passes WriteLines, the one place lines are written: each is
// made safe (VekSafeNetText), so no text from the network can forge a line
// or drive the terminal, and each write is whole or nothing and never
// raises, so a log that cannot be written (a full disk) never stops the
// handler that logs. A line that could not be written is dropped whole and
// counted; the first write that works again starts with a line telling how
// many were lost.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/fileutils.h"

enum class TVEKLineCharset { System, Utf8 };

class TVEKOutputFile {
 public:
  TVEKOutputFile() = default;
  TVEKOutputFile(const TVEKOutputFile&) = delete;
  TVEKOutputFile& operator=(const TVEKOutputFile&) = delete;

  void AttachDescriptor(int fd, const std::string& name);
  // Opens the log (DaxOpenLogText: appended to or created 0600, a link or
  // another kind of file refused); raises the file error.
  void OpenLog(const std::string& name);
  // Opens the same name again and swaps; on failure the old file stays and
  // the error is raised.
  void Reopen();
  void Close();
  bool IsLog() const { return is_log_; }
  TDaxTextFile* File() const { return file_.get(); }
  const std::string& Name() const { return name_; }

  // Each text after `prefix` as one line, all in one write. Nothing when no
  // file is attached.
  void WriteLines(const std::u16string& prefix, const std::vector<std::u16string>& texts,
                  TVEKLineCharset charset = TVEKLineCharset::System);
  // Lines lost since the last line that was written.
  uint64_t LostLines() const { return lost_; }

 private:
  // The count of lost lines, as a log line of its own.
  std::string LostLinesNotice() const;

  std::unique_ptr<TDaxTextFile> file_;
  std::string name_;
  bool is_log_ = false;
  uint64_t lost_ = 0;
  int last_error_ = 0;
};

// The time stamp that starts a log line: "YYYY-MM-DD hh:mm:ss.zzz: ".
std::u16string VekLogStamp();
