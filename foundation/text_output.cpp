#include "foundation/text_output.h"

#include "foundation/charset.h"

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
