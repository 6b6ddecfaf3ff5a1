// Small text files of one record a line, written whole: the stored
// dynamic passwords and backup servers. Lines are read with any line end and a
// leading UTF-8 byte-order mark dropped; files are replaced transactionally
// and created private, since they may hold passwords.
#pragma once

#include <functional>
#include <string>
#include <vector>

// The file's lines (LF, CR LF or CR ends one), a UTF-8 byte-order mark at
// its start dropped. False, no lines, when the file does not exist.
bool VekReadFileLines(const std::string& file_name, std::vector<std::string>& lines);
// Creates or truncates the file with mode 0600, writes the data and flushes
// it to disk; on a failure deletes the file and raises the file error.
void VekWritePrivateFile(const std::string& file_name, const std::string& data);
// Calls write with a temporary path, then swaps the result in for the file
// (TFileRewriteProtector, staging in temp_dir when given); on any failure
// the old file stays.
void VekReplaceFileWith(const std::string& file_name,
                        const std::function<void(const std::string& path)>& write,
                        const std::string& temp_dir = std::string());
// True when the text holds "|", CR or LF, which would split a stored line.
bool VekHasLineBreakingChar(const std::u16string& text);
// Raises EFileException naming the file when the text cannot be stored.
void VekCheckStorableValue(const std::u16string& text, const std::string& file_name);
