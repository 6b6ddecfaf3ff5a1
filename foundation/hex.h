// Hexadecimal text and the standard reflected CRC-32 (polynomial 0xEDB88320,
// initial and final inversion), used for unique temporary names and for
// cheap change detection of texts.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EInvalidHexError, EConvertError);
// "Invalid HEX character"
DAX_DECLARE_EXCEPTION(EInvalidHexCharacterError, EInvalidHexError);
// "Invalid HEX length"
DAX_DECLARE_EXCEPTION(EInvalidHexLengthError, EInvalidHexError);

[[noreturn]] void DaxRaiseInvalidHexCharacter();
[[noreturn]] void DaxRaiseInvalidHexLength();

// ---------------------------------------------------------------------------
// CRC-32. A running value of 0 starts a new checksum; feeding the result of
// one call into the next gives the CRC-32 of the concatenated blocks.

// The table is a compile-time constant; kept as the start-up entry point.
void DaxCrc32InitTable();
uint32_t DaxCrc32Update(uint32_t crc, const void* p, int count);
// An empty text returns `crc` unchanged.
uint32_t DaxCrc32String(uint32_t crc, const std::string& s);
// Over the UTF-16LE bytes of the text (2 per code unit).
uint32_t DaxCrc32UnicodeString(uint32_t crc, const std::u16string& s);

// ---------------------------------------------------------------------------
// Hex text

// Leading units up to 0x20 are skipped, then hex digits only, up to
// FFFFFFFF. On failure `value` is unchanged.
bool DaxHexToUInt32(const std::u16string& s, uint32_t& value);

// Pairs of hex digits (high first) to bytes. An odd count raises
// "Invalid HEX length" before anything is written; a non-digit raises
// "Invalid HEX character". Returns the end of the output.
char* DaxHexToBytesBuf(char* dest, const char* hex, int count);
std::string DaxHexBufToBytes(const char* hex, int count);
std::string DaxHexToBytes(const std::string& hex);
// Converts in chunks of 32768 hex characters (16384 bytes written each).
void DaxHexBufToStream(const char* hex, int count, std::ostream& stream);

// Copies the bytes, dropping 9-13 and blanks. Returns the end of the output.
char* DaxStripHexSpaces(char* dest, const char* src, int count);
// Copies hex digits (a-f upper-cased), drops bytes up to 0x20, raises
// "Invalid HEX character" for anything else. Returns the count written.
int DaxFilterHexDigits(char* dest, const char* src, int count);
// Filters through an 8192-character buffer; each full buffer and the rest
// are converted and written to the stream.
void DaxHexTextToStream(const char* hex, int count, std::ostream& stream);
// Converts `count` filtered hex digits and writes the bytes.
void DaxHexFlushChunk(const char* digits, int count, std::ostream& stream);
