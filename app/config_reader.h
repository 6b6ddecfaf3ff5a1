// Fills the setup record from the configuration file: starts from
// VekSetupDefaults, then the keys the file sets, with the accepted spellings
// and the clamps applied on reading. A value that cannot be read keeps the
// key's default and is reported.
#pragma once

#include <string>
#include <vector>

#include "foundation/setup_data.h"  // also the VekDefault* constants

// Reads the whole file into setup (every field is set). Raises Exception
// 'config file "<name>" not found' when the file does not exist, and the
// file errors when it cannot be read. A value that is not of its key's type
// (a number, port, boolean, flag or one of an enumeration's spellings), or a
// number the key does not accept (a sample rate, an hour interval), adds
// one line to `warnings` naming its section, key, value and the default used.
void VekLoadConfig(const std::u16string& fileName, TVEKSetupData& setup,
                   const std::u16string& currentDir, const std::u16string& programDir,
                   std::vector<std::u16string>* warnings = nullptr);

struct TVEKConfigKey {
  std::u16string Section;
  std::u16string Key;
};

// Every key the reader asks for, section by section in reading order: what
// a reference of the file has to describe.
std::vector<TVEKConfigKey> VekConfigKeys();

// LogClientListDelimiter: "\X<hex>", "\UX<hex>" or "\<decimal>" give that
// code (0..65535, else ';'); any other text its first character; empty ';'.
char16_t VekParseListDelimiter(const std::u16string& text);
