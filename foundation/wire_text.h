// 8-bit text helpers of the wire texts (proxy answers, handshakes): space
// trims, splitting at a delimiter, replacing, line ends, big-endian integer
// bytes and base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string VekTrimSpaces(const std::string& value);
std::string VekTrimSpacesLeft(const std::string& value);
std::string VekTrimSpacesRight(const std::string& value);
std::string VekSeparateLeft(const std::string& value, const std::string& delimiter);
std::string VekSeparateRight(const std::string& value, const std::string& delimiter);
std::string VekFetch(std::string& value, const std::string& delimiter);
std::string VekFetchTrimmed(std::string& value, const std::string& delimiter);
std::string VekReplaceAll(const std::string& value, const std::string& search, const std::string& replacement);
int VekCountChar(const std::string& text, char byte);

enum TVekLineEnd { vle_None, vle_CRLF, vle_LFCR, vle_CR, vle_LF };
// Index of the first CR or LF, or std::string::npos (terminator vle_None).
std::size_t VekFindLineEnd(const std::string& text, TVekLineEnd& terminator);

std::string VekCodeInt16(std::uint16_t value);
// `index` is 1-based: the bytes at index (high) and index + 1 (low).
std::uint16_t VekDecodeInt16(const std::string& text, std::size_t index);
std::string VekCodeInt32(std::uint32_t value);
std::uint32_t VekSwapBytes32(std::uint32_t value);

// Base64 with the standard alphabet and "=" padding, no line breaks.
std::string VekBase64Encode(const std::string& data);
std::string VekEncodeTriplet(const std::string& data, const std::string& alphabet);
