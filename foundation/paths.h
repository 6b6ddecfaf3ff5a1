// How file and directory settings become absolute paths, and the start-up
// write test.
// Stateless; any thread may call these.
#pragma once

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
// [System] TempDir resolved as VekTempDir does, in the system charset; empty
// when it is not set.
std::string VekConfiguredTempDir(const TVEKSystemParameters& system);
std::string VekFileInWriteDir(const std::string& name, const TVEKSystemParameters& system);

// Creates name + ".$tmp$", writes "1\n", closes and deletes it. Raises the
// creating or writing file error naming `name` itself. The probe file is
// removed whatever happens.
void DaxCheckWritable(const std::string& name);

