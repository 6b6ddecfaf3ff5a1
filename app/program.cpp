#include "app/program.h"

#include <cstdio>
#include <cstdlib>

#include "foundation/fileutils.h"
#include "foundation/stderr_silencer.h"

TDaxTextFile& TVEKProgram::ErrorFile() { return Output.IsLog() ? *Output.File() : *Error.File(); }

void TVEKProgram::PrintOut(const std::u16string& text) { Output.WriteLines(u"", {text}); }
void TVEKProgram::PrintErr(const std::u16string& text) {
  (Output.IsLog() ? Output : Error).WriteLines(u"", {text});
}

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
  PrintErr(u"ERROR: " + message);
  EndProcess(3);
}

bool VekFileExists(const std::string& name) {
  uint32_t attr = 0;
  return DaxGetFileAttributesNoRaise(name, attr) == 0;
}
