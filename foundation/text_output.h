// Line output of the console and the log through a text file object.
#pragma once

#include <string>

#include "foundation/fileutils.h"

// The text (converted to the system charset) and a line end; the flushing
// form pushes it to the file at once. Write failures raise the writing error.
void DaxWriteLn(TDaxTextFile& f, const std::u16string& text);
void DaxWriteLnFlush(TDaxTextFile& f, const std::u16string& text);
void DaxFlushText(TDaxTextFile& f);
