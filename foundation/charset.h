// The system charset and conversions between the program's UTF-16 text and
// 8-bit text: the system charset (console, file names, environment, system
// error texts), UTF-8 (configuration and table files) and named charsets
// (the wire). Everything goes through iconv with "UNICODELITTLE" on the
// UTF-16 side; where iconv cannot help, a byte-for-character fallback
// applies, so conversions never fail towards their caller.
#pragma once

#include <iconv.h>

#include <cstdint>
#include <string>

// The system charset name; set at start-up, read by every thread afterwards.
extern std::string DaxSystemCharset;

// The four program-wide conversion hooks. Written only before worker threads
// start.
using TDaxAnsiToSysProc = std::string (*)(const std::string&);
using TDaxSysToUnicodeProc = std::u16string (*)(const std::string&);
using TDaxUnicodeToSysProc = std::string (*)(const std::u16string&);
using TDaxSysToAnsiProc = std::string (*)(const std::string&);

// 8-bit program text (exception messages) to system text; initially a copy.
extern TDaxAnsiToSysProc DaxHookAnsiToSys;
// System text to UTF-16; initially DaxSysToUnicodeProc.
extern TDaxSysToUnicodeProc DaxHookSysToUnicode;
// UTF-16 to system text; initially DaxUnicodeToSysProc.
extern TDaxUnicodeToSysProc DaxHookUnicodeToSys;
// System text to 8-bit program text; initially a copy.
extern TDaxSysToAnsiProc DaxHookSysToAnsi;

// System text to UTF-16 through the hook; each byte one unit while no hook
// is set. A null text is empty.
std::u16string DaxSysTextToUnicode(const std::string& s);
std::u16string DaxSysTextToUnicode(const char* s);

std::string DaxAnsiToSysCopy(const std::string& s);
std::string DaxSysToAnsiCopy(const std::string& s);

// The fallbacks: units below 256 become that byte, others "?"; each byte
// becomes the unit of the same value.
std::string DaxNarrowFallback(const std::u16string& s);
std::u16string DaxWidenFallback(const std::string& s);
std::u16string DaxWidenFallback(const char* p, int length);

// LANG (else MM_CHARSET): the part after the first ".", without an
// "@modifier"; "UTF-8" when nothing is left.
void DaxInitSystemCharset();
// Upper-cased; kept only when iconv accepts it, else silently ignored.
void DaxSetSystemCharset(const std::u16string& name);

std::string DaxUnicodeToSys(const std::u16string& s);
std::string DaxUnicodeToSysProc(const std::u16string& s);
std::u16string DaxSysToUnicodeProc(const std::string& s);

// Invalid UTF-8 gives the widening of the whole input.
std::u16string DaxUtf8ToUnicode(const std::string& s);
std::u16string DaxUtf8BufToUnicode(const char* p, int length);
std::string DaxUnicodeToUtf8(const std::u16string& s);

// Named conversions, one descriptor per call (any thread). 0 on success,
// else the error number or -1; after a failure `result` is not to be used,
// except when the charset itself is refused: then it holds the fallback.
int DaxUnicodeToCharset(const std::u16string& text, std::string& result,
                        const std::string& charset);
int DaxCharsetToUnicode(const std::string& text, std::u16string& result,
                        const std::string& charset);
int DaxCharsetBufToUnicode(const char* p, int length, std::u16string& result,
                           const std::string& charset);

// The loops on an open descriptor. Towards a charset an unrepresentable unit
// becomes "?"; towards UTF-16 any invalid input fails as a whole.
int DaxIconvFromUnicode(iconv_t cd, const std::u16string& text, std::string& result);
int DaxIconvToUnicode(iconv_t cd, const std::string& text, std::u16string& result);
int DaxIconvBufToUnicode(iconv_t cd, const char* p, int length, std::u16string& result);

// Case-insensitive (ASCII) lookup, first match wins; each entry is read as at
// most 255 characters. Empty when absent. `found_name`, when given, gets the
// matching entry's own spelling of the name.
std::string DaxGetEnvValue(const std::string& name, std::string* found_name = nullptr);
int DaxEnvCount();
// The n-th entry (1-based), at most 255 characters; empty when out of range.
std::string DaxEnvEntry(int n);
