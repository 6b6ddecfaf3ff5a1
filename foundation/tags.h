// Byte-level encodings of the server and system-manager protocols: tagged
// values, hex length prefixes, typed fields and the account record, with the
// helpers that go with them (byte budgets after charset conversion, hex
// numbers, host-and-port texts, ports). Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/exception.h"

class TAnsiUnicodeConverter;
class TIniFileUTF8;

// "Integer overflow": raised by DaxHexToInt on a ninth significant digit.
DAX_DECLARE_EXCEPTION(EIntOverflow, Exception);

// '<' name '>' value "</" name '>'. The name is never empty.
std::string VekTagBuild(const std::string& name, const std::string& value);
// The bytes between the first opening tag of name and the first closing tag
// after it. False (value untouched) when either is missing, data or name is
// empty, or the name is longer than 125 bytes.
bool VekTagExtract(const std::string& name, const std::string& data, std::string& value);

// Hex length prefix + data: "7F" for 127 bytes, "8180" for 128, "82012C" for
// 300. Empty data gives "00".
std::string DaxHexLenField(const std::string& data);
// Type character + hex length prefix + data; empty data gives "".
std::string DaxTypedHexLenField(char type, const std::string& data);
// The typed field of the UTF-8 encoding of text; empty text gives "".
std::string VekTypedUtf8Field(char type, const std::u16string& text);
// Trim Unicode white space, keep the first n code units, trim again.
std::u16string VekTrimCut(const std::u16string& text, int n);
// The U8TF value: the client type digit and the typed UTF-8 fields '0'..'7'
// (e-mail, password, operator, band 40, description 80, country, city 64,
// network 32; capped items go through VekTrimCut).
std::string VekAccountRecord(uint8_t clientType, const std::u16string& email,
                             const std::u16string& operatorText,
                             const std::u16string& password,
                             const std::u16string& bandChannel,
                             const std::u16string& description, const std::u16string& city,
                             const std::u16string& country, const std::u16string& network);

// Reads one hex length prefix from [cursor, end) and advances cursor past it.
// False, cursor unchanged, at a non-hex digit, at the end of the input, or
// when the prefix announces more than four length bytes. The data announced
// are not checked: callers compare length with end - cursor.
bool DaxHexLenDecode(const char*& cursor, const char* end, uint32_t& length);
// The same on a view that is shortened by the prefix on success.
bool DaxHexLenDecode(std::string_view& cursor, uint32_t& length);

// count hex digits (either case) into a 32-bit value; false at a non-hex
// character, 0 for count 0. Raises EIntOverflow "Integer overflow" before a
// digit when the value so far exceeds 0x0FFFFFFF.
bool DaxHexToInt(const char* text, int count, uint32_t& value);
bool DaxHexToInt(const std::string& text, uint32_t& value);

// The encoding of the longest prefix of text whose conversion fits in
// maxBytes bytes.
std::string VekFitEncodedLength(TAnsiUnicodeConverter& converter, int maxBytes,
                                const std::u16string& text);

// host:port, or [host]:port when the host holds ':'.
std::u16string VekHostPortText(const std::u16string& host, int32_t port);

// A decimal integer 1..65535 after trimming; else false, port untouched.
bool VekTryParsePort(const std::u16string& text, int32_t& port);
bool VekTryParsePortA(const std::string& text, int32_t& port);
// The key as a port, or def when missing or not a port.
int32_t VekIniReadPort(const TIniFileUTF8& ini, const std::u16string& section,
                       const std::u16string& key, int32_t def);

// '0', '1', '2' give 0, 1, 2; anything else false.
bool VekDigitTo012(char c, uint8_t& value);
// '0' + value as a one-character string.
std::string Vek012ToDigit(int value);
