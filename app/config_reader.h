// Fills the setup record from the configuration file: starts from
// VekSetupDefaults, then the keys the file sets, with the accepted spellings
// and the clamps applied on reading. Unusable values keep the key's default
// without a message.
#pragma once

#include <string>

#include "foundation/setup_data.h"  // also the VekDefault* constants

// Reads the whole file into setup (every field is set). Raises Exception
// 'config file "<name>" not found' when the file does not exist, and the
// file errors when it cannot be read.
void VekLoadConfig(const std::u16string& fileName, TVEKSetupData& setup,
                   const std::u16string& currentDir, const std::u16string& programDir);

// LogClientListDelimiter: "\X<hex>", "\UX<hex>" or "\<decimal>" give that
// code (0..65535, else ';'); any other text its first character; empty ';'.
char16_t VekParseListDelimiter(const std::u16string& text);
