// Strings, numbers, delimiter fields and raw memory helpers shared by every
// part of the program. The rules are deliberately narrower than a general
// library's: no locale, no hexadecimal, no Unicode case mapping, so that
// configuration and protocol texts parse the same way everywhere.
//
// 8-bit text is std::string, UTF-16 text std::u16string. Text positions are
// 1-based (0 means "not found"). Counts are signed: a count of 0 or less does
// nothing, finds nothing or compares equal.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/exception.h"

// ---------------------------------------------------------------------------
// Errors

// "Buffer too small" (class Exception).
[[noreturn]] void DaxRaiseBufferTooSmall();
// "Not digit character" (class EConvertError).
[[noreturn]] void DaxRaiseNotDigit();

// ---------------------------------------------------------------------------
// Trimming and case

// Every code unit from 0 to 0x20.
inline bool DaxIsControlOrBlank(char16_t c) { return c <= 0x20; }
// 9-13, 32, 0x85, 0xA0 and 0x3000.
bool DaxIsUnicodeSpace(char16_t c);

// Strip units of the control set (0..0x20).
std::string DaxTrim(const std::string& s);
std::string DaxTrimLeft(const std::string& s);
std::string DaxTrimRight(const std::string& s);
std::u16string DaxTrimControlW(const std::u16string& s);
std::u16string DaxTrimLeftW(const std::u16string& s);
// Strip Unicode white space at both ends.
std::u16string DaxTrimW(const std::u16string& s);

// a-z become A-Z; nothing else changes.
std::string DaxUpperCaseAscii(const std::string& s);
std::u16string DaxUpperCaseAsciiW(const std::u16string& s);

// ---------------------------------------------------------------------------
// Byte-for-unit copies

// Each unit truncated to its low byte.
std::string DaxUnicodeToAnsiRaw(const std::u16string& s);
void DaxNarrowCopy(char* dest, const char16_t* src, int count);
// Each byte zero-extended to one unit.
std::u16string DaxAnsiToUnicodeRaw(const std::string& s);
std::u16string DaxPCharToUnicodeRaw(const char* p, int length);
void DaxWidenCopy(char16_t* dest, const char* src, int count);

// ---------------------------------------------------------------------------
// Searches and substrings (1-based positions)

int DaxPosCharW(char16_t c, const std::u16string& s);
// 0 when not found or when either text is empty.
int DaxPosW(const std::u16string& sub, const std::u16string& s);
// Address of the first unit equal to `unit` among `count`, or nullptr.
const char16_t* DaxFindWordUnit(char16_t unit, const char16_t* p, int count);

// The last min(n, length) units; empty for n <= 0.
std::string DaxRightStr(const std::string& s, int n);
std::u16string DaxRightStrW(const std::u16string& s, int n);

// Empty when pos > length, the whole text when pos < 1, else pos..end.
std::string DaxCopyFrom(const std::string& s, int pos);
std::string DaxCopyFromRaw(const std::string& s, int pos);
std::u16string DaxCopyFromW(const std::u16string& s, int pos);

// ---------------------------------------------------------------------------
// Delimiter fields. Field 1 precedes the first delimiter; the text after the
// last delimiter is a field too (possibly empty); an empty text has none.

// Not found (n < 1, n beyond the count, empty text): false and an empty field.
bool DaxGetField(const std::string& text, char delimiter, int n, std::string& field);
bool DaxGetFieldRaw(const std::string& text, char delimiter, int n, std::string& field);
bool DaxGetFieldW(const std::u16string& text, char16_t delimiter, int n, std::u16string& field);
// The field's 1-based start position and its length; on false both are 0.
bool DaxLocateField(const std::string& text, char delimiter, int n, int& start, int& length);
bool DaxLocateFieldW(const std::u16string& text, char16_t delimiter, int n, int& start,
                     int& length);
// 0 for the empty text, else the number of delimiters + 1.
int DaxFieldCount(const std::string& text, char delimiter);
int DaxFieldCountW(const std::u16string& text, char16_t delimiter);

// ---------------------------------------------------------------------------
// Numbers. The strict parsers accept leading control-set units, one optional
// sign and one or more decimal digits up to the end (NUL or length), nothing
// else; overflow fails. On failure `value` is left unchanged. They never
// raise.

bool DaxTryStrToInt(const char* s, int32_t& value);
bool DaxTryStrToInt2(const char* s, int32_t& value);
bool DaxTryStrToIntW(const char16_t* s, int32_t& value);
bool DaxTryBufToInt(const char* p, int length, int32_t& value);
bool DaxTryStrToInt64(const char* s, int64_t& value);
bool DaxTryStrToInt64W(const char16_t* s, int64_t& value);
// Conveniences on whole strings; like the NUL-terminated forms they stop at
// an embedded NUL.
inline bool DaxTryStrToInt(const std::string& s, int32_t& value) {
  return DaxTryStrToInt(s.c_str(), value);
}
inline bool DaxTryStrToIntW(const std::u16string& s, int32_t& value) {
  return DaxTryStrToIntW(s.c_str(), value);
}
inline bool DaxTryStrToInt64(const std::string& s, int64_t& value) {
  return DaxTryStrToInt64(s.c_str(), value);
}
inline bool DaxTryStrToInt64W(const std::u16string& s, int64_t& value) {
  return DaxTryStrToInt64W(s.c_str(), value);
}

// A number (non-zero is true) or one of TRUE YES ON T Y / FALSE NO OFF F N,
// ASCII case-insensitive, not trimmed.
bool DaxTryStrToBoolW(const std::u16string& s, bool& value);

// Digits only, no sign, no overflow check (wraps modulo 2^32); a non-digit
// raises "Not digit character". For length <= 0 `value` is untouched.
// Returns the address after the digits.
const char* DaxParseDigits(const char* p, int length, int32_t& value);

// Signed decimal, right-aligned, NUL in the buffer's last byte. `size` is the
// buffer size on entry and the number of characters (NUL not counted) on
// return; the result addresses the first character. Raises
// "Buffer too small" when the buffer cannot hold digits + sign + 2.
char* DaxIntToBuf(char* buffer, int32_t value, int& size);

// Exactly `width` digits of |value|, zero-padded, higher digits dropped;
// width <= 0 writes nothing. Returns the address after the digits; no NUL.
char* DaxIntToDigits(char* buffer, int32_t value, int width);
char* DaxIntToDigits2(char* buffer, int32_t value, int width);
char16_t* DaxIntToDigitsW(char16_t* buffer, int32_t value, int width);
std::u16string DaxIntToDigitsStrW(int32_t value, int width);
// Signed decimal as UTF-16 text ("-12").
std::u16string DaxIntToStrW(int64_t value);

// ---------------------------------------------------------------------------
// UTF-8 for protocol fields: decodes up to the first malformed or truncated
// sequence and keeps what was complete. Characters above U+FFFF become
// surrogate pairs.
void DaxUtf8DecodeW(std::u16string& out, const char* p, int length);
inline std::u16string DaxUtf8DecodeW(const std::string& s) {
  std::u16string out;
  DaxUtf8DecodeW(out, s.data(), static_cast<int>(s.size()));
  return out;
}

// ---------------------------------------------------------------------------
// Memory. Counts of 0 or less do nothing, find nothing or compare equal.

// Copies n bytes; overlapping blocks are copied correctly.
void DaxMove(void* dest, const void* src, int n);
// dest[i] = src[n-1-i]; dest and src may be the same (or overlapping) block.
void DaxReverseBytes(void* dest, const void* src, int n);
bool DaxSameBytes(const void* a, const void* b, int n);
// a[i] - b[i] of the first differing bytes (as unsigned bytes), 0 if equal.
int DaxCompareBytes(const void* a, const void* b, int n);
const void* DaxIndexByte(uint8_t value, const void* p, int n);
// n counts 16-bit units.
const void* DaxIndexWord(const void* p, uint16_t value, int n);
// First occurrence of the pattern; an empty pattern finds nothing.
const void* DaxFindBytes(const void* buffer, int length, const void* pattern, int patternLength);
int DaxCountByte(const void* p, int n, uint8_t value);
// n counts 16-bit units.
int DaxCountWord(const void* p, int n, uint16_t value);
bool DaxIsNonZeroBuffer(const void* p, int n);
// Largest |sample| (-32768 gives 32768); 0 for count <= 0.
int32_t DaxPeakInt16(const int16_t* samples, int count);
