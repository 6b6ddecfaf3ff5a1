#include "foundation/fileutils.h"

#include <cstring>

namespace {

std::string FormatError(const char* what, int code, const std::string& name) {
  return "error [" + std::to_string(code) + "] of " + what + " \"" + name + "\": " +
         DaxErrorText(code);
}

[[noreturn]] void RaiseFile(const char* what, int code, const std::string& name) {
  throw EFileException(FormatError(what, code, name));
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
