// Host names to and from their ASCII (punycode) form and IPv4/IPv6 address
// texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Bootstring results.
enum : int {
  DAX_PUNYCODE_SUCCESS = 0,
  DAX_PUNYCODE_BAD_INPUT = 1,
  DAX_PUNYCODE_BIG_OUTPUT = 2,
  DAX_PUNYCODE_OVERFLOW = 3,
};

// Encodes `inputLength` UTF-16 units (each taken as a code point). `output`
// may be null to learn the length; otherwise `*outputLength` is its capacity
// on entry. On success `*outputLength` is the number of bytes produced.
// `caseFlags` (may be null) asks for upper case on basic code points and on
// the last digit of each delta.
int DaxPunycodeEncode(const char16_t* input, std::size_t inputLength, const unsigned char* caseFlags,
                      std::size_t* outputLength, char* output);
// Decodes into UTF-16 units; `output`, `caseFlags` may be null (length only).
int DaxPunycodeDecode(const char* input, std::size_t inputLength, std::size_t* outputLength,
                      char16_t* output, unsigned char* caseFlags);

std::string DaxHostToAscii(const std::u16string& host);
std::u16string DaxHostToUnicode(const std::string& host);

// True when a host name in its ASCII form holds a blank or a control byte:
// no such host exists, and sent or stored it would add lines of its own.
bool VekHostHasBlankOrControl(const std::string& asciiHost);
// A host name a peer may hand the client to connect to, store and show: not
// empty, its ASCII form passes VekHostHasBlankOrControl, and it holds
// nothing VekSafeNetText would replace (C1 controls, bidirectional marks).
bool VekIsCleanHostName(const std::u16string& host);

bool VekIsIPv4Text(const std::string& text);
bool VekIsIPv6Text(const std::string& text);
bool VekIsIPv6Text(const std::u16string& text);
std::array<std::uint8_t, 4> VekIPv4ToBytes(const std::string& text);
std::array<std::uint8_t, 16> VekIPv6ToBytes(const std::string& text);
std::string VekIPv6BytesToText(const std::array<std::uint8_t, 16>& bytes);
std::string VekExpandIPv6(const std::string& text);
