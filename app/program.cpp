#include "app/program.h"

#include <cstdio>
#include <cstdlib>

#include "foundation/fileutils.h"
#include "foundation/stderr_silencer.h"
#include "foundation/text_output.h"

namespace {

void WriteLine(TDaxTextFile& file, const std::u16string& text) {
  try {
    DaxWriteLnFlush(file, text);
  } catch (...) {
  }
}

}  // namespace

TDaxTextFile& TVEKProgram::ErrorFile() { return Output.IsLog() ? *Output.File() : *Error.File(); }

void TVEKProgram::PrintOut(const std::u16string& text) { WriteLine(*Output.File(), text); }
void TVEKProgram::PrintErr(const std::u16string& text) { WriteLine(ErrorFile(), text); }

void TVEKProgram::RestoreStdErr() {
  if (SavedStdErr >= 0) DaxRestoreStdErr(SavedStdErr);
  SavedStdErr = -1;
}

void TVEKProgram::SilenceStdErr() {
  if (SavedStdErr < 0) SavedStdErr = DaxSilenceStdErr();
}

void TVEKProgram::EndProcess(int code) {
  RestoreStdErr();
  DaemonReport.Send(code);
  std::fflush(nullptr);
  std::exit(code);
}

void TVEKProgram::FatalStartupError(const std::u16string& message) {
  WriteLine(ErrorFile(), u"ERROR: " + message);
  EndProcess(3);
}

bool VekFileExists(const std::string& name) {
  uint32_t attr = 0;
  return DaxGetFileAttributesNoRaise(name, attr) == 0;
}
