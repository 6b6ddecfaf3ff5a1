// How file and directory settings become absolute paths, the start-up write
// test, the PID file and the line output of the console and the log.
// Stateless; any thread may call these.
#pragma once

#include <sys/types.h>

#include <string>

#include "foundation/fileutils.h"

struct TVEKSystemParameters;

// A relative path joined to the base directory and expanded lexically ("."
// and ".." resolved, absolute result); an absolute path is returned
// unchanged. Any other kind raises "Unknown relative path".
std::u16string DaxResolvePath(const std::u16string& path, const std::u16string& base);

// The name trimmed, or the default when empty, resolved against the base.
std::u16string VekResolveFileNameDef(const std::u16string& name, const std::u16string& def,
                                     const std::u16string& base);
// The name trimmed, or the default when empty; a bare name goes into
// `bare_dir`, a relative name with a directory part below `base`, an absolute
// name stays.
std::u16string VekResolveFileNameInDir(const std::u16string& name, const std::u16string& def,
                                       const std::u16string& bare_dir,
                                       const std::u16string& base);

// The program's directory without a trailing slash, as UTF-16.
std::u16string VekProgramDirW();

// [System] WriteDir (or the program's directory when empty) without trailing
// slashes, resolved against the program's directory.
std::u16string VekWriteDir(const std::u16string& write_dir_setting);
// [System] TempDir without trailing slashes resolved against the program's
// directory when set; else DaxGetTempDir() (with its trailing slash).
std::u16string VekTempDir(const std::u16string& temp_dir_setting);
// The write directory + "/" + name (8-bit); an empty name raises
// "no file name".
std::string VekFileInWriteDir(const std::string& name, const std::u16string& write_dir_setting);

// The same from the [System] record: its WriteDir and TempDir, resolved
// against its ProgramDir (the program's own directory when that is empty).
std::u16string VekWriteDir(const TVEKSystemParameters& system);
std::u16string VekTempDir(const TVEKSystemParameters& system);
std::string VekFileInWriteDir(const std::string& name, const TVEKSystemParameters& system);

// Creates name + ".$tmp$", writes "1\n", closes and deletes it. Raises the
// creating or writing file error naming `name` itself. The probe file is
// removed whatever happens.
void DaxCheckWritable(const std::string& name);

// Replaces the file with the decimal process id and one line feed. The file
// is created anew (never written through a link left in its place).
void VekWritePidFile(const std::string& name, pid_t pid);
// Reads a PID file: at most its first 20 bytes up to a NUL or line feed,
// trimmed, as a strict decimal. Raises the system's error text for open and
// read failures and "invalid PID value" for anything that is not a number
// of at least 1.
void VekReadPidFile(const std::string& name, pid_t& pid);

// The text (converted to the system charset) and a line end; the flushing
// form pushes it to the file at once. Write failures raise the writing error.
void DaxWriteLn(TDaxTextFile& f, const std::u16string& text);
void DaxWriteLnFlush(TDaxTextFile& f, const std::u16string& text);
void DaxFlushText(TDaxTextFile& f);
