// The dynamic-password file: the passwords the system manager handed out,
// kept across restarts and keyed by (e-mail address, VEK server host). One
// entry per line: key 1 | key 2 | password | stamp, UTF-8, CR LF. Only the
// main thread touches it.
#pragma once

#include <string>
#include <vector>

struct TVEKSystemParameters;

struct TDynPassArrayRecord {
  std::u16string Key1;      // never empty
  std::u16string Key2;      // may be empty
  std::u16string Password;  // never empty
  std::string Stamp;        // YYYYMMDDhhmmss, local time of the store
};

using TDynPassArray = std::vector<TDynPassArrayRecord>;

// True when at least one stamp had to be made up. A missing file gives an
// empty array and false; open and read errors raise EFileException.
bool VekLoadDynPassFile(const std::string& file_name, TDynPassArray& entries);
// Creates or truncates the file (mode 0600) and writes every entry; on a
// failure the file is deleted and the error raised again. A value holding
// "|", CR or LF cannot be written back as one field and raises
// EFileException before anything is touched.
void VekSaveDynPassFile(const std::string& file_name, const TDynPassArray& entries);

// Replaces the password of the entry with both keys (ASCII letters compared
// without case) or appends one, stamps it now and rewrites the file
// transactionally. Errors propagate; the old file then stays as it was.
void VekStoreDynamicPassword(const TVEKSystemParameters& system, const std::u16string& key1,
                             const std::u16string& key2, const std::u16string& password);
// exact: the first entry with both keys; newest: the entry with key 1 and
// the greatest stamp (the first of equal ones). Made-up stamps are written
// back at once so they stay fixed.
void VekFindDynamicPassword(const TVEKSystemParameters& system, const std::u16string& key1,
                            const std::u16string& key2, std::u16string& newest,
                            std::u16string& exact);

