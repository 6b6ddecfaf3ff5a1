// Line output of the console and the log through a text file object.
#pragma once

#include <string>

#include "foundation/fileutils.h"

// The text (converted to the system charset) and a line end; the flushing
// form pushes it to the file at once. Write failures raise the writing error.
void DaxWriteLn(TDaxTextFile& f, const std::u16string& text);
void DaxWriteLnFlush(TDaxTextFile& f, const std::u16string& text);
void DaxFlushText(TDaxTextFile& f);

// Writes the block after whatever the file still buffers, whole or not at
// all: 0, or the error number. When a write fails part way (a full disk)
// the part already written is cut off again where the file can seek, so no
// torn line stays behind; a pipe or terminal keeps it. Never raises.
int DaxWriteWholeNoRaise(TDaxTextFile& f, const std::string& bytes);

// The text with every character that could break or disguise a line of the
// console or the log replaced by '?': the C0 controls but TAB, DEL, the C1
// controls, the line and paragraph separators and the bidirectional marks,
// embeddings, overrides and isolates. Texts from the network pass it before
// they are shown, so a peer can neither forge lines nor drive the terminal.
std::u16string VekSafeNetText(const std::u16string& text);
