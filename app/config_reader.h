// Fills the setup record from the configuration file: every key with its
// default, accepted spellings and the clamps applied on reading. Unusable
// values take the key's default without a message.
#pragma once

#include <string>

#include "foundation/setup_data.h"

// A placeholder that can never reach anybody's machine: a real network's
// system manager has to be configured.
inline constexpr char16_t VekDefaultManagerAddress[] = u"manager.vek.invalid";
inline constexpr int32_t VekDefaultManagerPort = 10025;
inline constexpr int32_t VekDefaultClientVersion = 2014004;

// Reads the whole file into setup (every field is set). Raises Exception
// 'config file "<name>" not found' when the file does not exist, and the
// file errors when it cannot be read.
void VekLoadConfig(const std::u16string& fileName, TVEKSetupData& setup,
                   const std::u16string& currentDir, const std::u16string& programDir);

// LogClientListDelimiter: "\X<hex>", "\UX<hex>" or "\<decimal>" give that
// code (0..65535, else ';'); any other text its first character; empty ';'.
char16_t VekParseListDelimiter(const std::u16string& text);
