#include "foundation/wire_text.h"

#include <algorithm>

std::string VekTrimSpacesLeft(const std::string& value) {
  std::size_t i = 0;
  while (i < value.size() && value[i] == ' ') ++i;
  return value.substr(i);
}

std::string VekTrimSpacesRight(const std::string& value) {
  std::size_t n = value.size();
  while (n > 0 && value[n - 1] == ' ') --n;
  return value.substr(0, n);
}

std::string VekTrimSpaces(const std::string& value) { return VekTrimSpacesLeft(VekTrimSpacesRight(value)); }

std::string VekSeparateLeft(const std::string& value, const std::string& delimiter) {
  const std::size_t p = value.find(delimiter);
  return p == std::string::npos ? value : value.substr(0, p);
}

std::string VekSeparateRight(const std::string& value, const std::string& delimiter) {
  const std::size_t p = value.find(delimiter);
  return p == std::string::npos ? value : value.substr(p + delimiter.size());
}

std::string VekFetch(std::string& value, const std::string& delimiter) {
  const std::size_t p = delimiter.empty() ? std::string::npos : value.find(delimiter);
  std::string head;
  if (p == std::string::npos) {
    head.swap(value);
  } else {
    head = value.substr(0, p);
    value.erase(0, p + delimiter.size());
  }
  return head;
}

std::string VekFetchTrimmed(std::string& value, const std::string& delimiter) {
  std::string head = VekTrimSpaces(VekFetch(value, delimiter));
  value = VekTrimSpaces(value);
  return head;
}

std::string VekReplaceAll(const std::string& value, const std::string& search, const std::string& replacement) {
  if (search.empty()) return value;
  std::string out;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t p = value.find(search, pos);
    if (p == std::string::npos) break;
    out.append(value, pos, p - pos);
    out += replacement;
    pos = p + search.size();
  }
  out.append(value, pos, std::string::npos);
  return out;
}

int VekCountChar(const std::string& text, char byte) {
  int n = 0;
  for (char c : text) n += (c == byte);
  return n;
}

std::size_t VekFindLineEnd(const std::string& text, TVekLineEnd& terminator) {
  const std::size_t p = text.find_first_of("\r\n");
  if (p == std::string::npos) {
    terminator = vle_None;
    return p;
  }
  const bool cr = text[p] == '\r';
  const bool pair = p + 1 < text.size() && text[p + 1] == (cr ? '\n' : '\r');
  terminator = cr ? (pair ? vle_CRLF : vle_CR) : (pair ? vle_LFCR : vle_LF);
  return p;
}

// ---- numbers

std::string VekCodeInt16(std::uint16_t value) {
  return std::string{static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::uint16_t VekDecodeInt16(const std::string& text, std::size_t index) {
  if (index < 1 || index + 1 > text.size()) return 0;
  return static_cast<std::uint16_t>((static_cast<unsigned char>(text[index - 1]) << 8) |
                                    static_cast<unsigned char>(text[index]));
}

std::string VekCodeInt32(std::uint32_t value) {
  return std::string{static_cast<char>(value >> 24), static_cast<char>((value >> 16) & 0xFF),
                     static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}

std::uint32_t VekSwapBytes32(std::uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

// ---- base64

std::string VekEncodeTriplet(const std::string& data, const std::string& alphabet) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  const char pad = alphabet.size() > 64 ? alphabet[64] : '=';
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, data.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k)
      v = (v << 8) | (k < n ? static_cast<unsigned char>(data[i + k]) : 0u);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += n > 1 ? alphabet[(v >> 6) & 63] : pad;
    out += n > 2 ? alphabet[v & 63] : pad;
  }
  return out;
}

std::string VekBase64Encode(const std::string& data) {
  return VekEncodeTriplet(data, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=");
}
