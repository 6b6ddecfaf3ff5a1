#include "foundation/hex.h"

#include <algorithm>
#include <array>
#include <vector>

void DaxRaiseInvalidHexCharacter() { throw EInvalidHexCharacterError("Invalid HEX character"); }

void DaxRaiseInvalidHexLength() { throw EInvalidHexLengthError("Invalid HEX length"); }

// ---------------------------------------------------------------------------
// CRC-32

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[n] = c;
  }
  return t;
}

// Built at compile time, so no thread can see it half-filled.
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

void DaxCrc32InitTable() {}

uint32_t DaxCrc32Update(uint32_t crc, const void* p, int count) {
  if (count <= 0) return crc;
  const auto* b = static_cast<const unsigned char*>(p);
  uint32_t c = ~crc;
  for (int i = 0; i < count; ++i) c = (c >> 8) ^ kCrcTable[(c ^ b[i]) & 0xFFu];
  return ~c;
}

uint32_t DaxCrc32String(uint32_t crc, const std::string& s) {
  if (s.empty()) return crc;
  return DaxCrc32Update(crc, s.data(), static_cast<int>(s.size()));
}

uint32_t DaxCrc32UnicodeString(uint32_t crc, const std::u16string& s) {
  if (s.empty()) return crc;
  // Explicit little-endian bytes, whatever the host order.
  uint32_t c = ~crc;
  for (char16_t u : s) {
    c = (c >> 8) ^ kCrcTable[(c ^ (u & 0xFFu)) & 0xFFu];
    c = (c >> 8) ^ kCrcTable[(c ^ (u >> 8)) & 0xFFu];
  }
  return ~c;
}

// ---------------------------------------------------------------------------
// Hex text

namespace {

inline int HexDigit(uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  return -1;
}

}  // namespace

bool DaxHexToUInt32(const std::u16string& s, uint32_t& value) {
  size_t i = 0;
  while (i < s.size() && s[i] <= 0x20) ++i;
  if (i == s.size()) return false;
  uint32_t v = 0;
  for (; i < s.size(); ++i) {
    int d = HexDigit(s[i]);
    if (d < 0) return false;
    if (v & 0xF0000000u) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  value = v;
  return true;
}

char* DaxHexToBytesBuf(char* dest, const char* hex, int count) {
  if (count <= 0) return dest;
  if (count % 2) DaxRaiseInvalidHexLength();
  for (int i = 0; i < count; i += 2) {
    int hi = HexDigit(static_cast<unsigned char>(hex[i]));
    int lo = HexDigit(static_cast<unsigned char>(hex[i + 1]));
    if (hi < 0 || lo < 0) DaxRaiseInvalidHexCharacter();
    *dest++ = static_cast<char>((hi << 4) | lo);
  }
  return dest;
}

std::string DaxHexBufToBytes(const char* hex, int count) {
  if (count <= 0) return {};
  if (count % 2) DaxRaiseInvalidHexLength();
  std::string r(static_cast<size_t>(count / 2), '\0');
  DaxHexToBytesBuf(r.data(), hex, count);
  return r;
}

std::string DaxHexToBytes(const std::string& hex) {
  return DaxHexBufToBytes(hex.data(), static_cast<int>(hex.size()));
}

void DaxHexBufToStream(const char* hex, int count, std::ostream& stream) {
  if (count <= 0) return;
  if (count % 2) DaxRaiseInvalidHexLength();
  constexpr int kChunk = 32768;
  std::vector<char> bytes(kChunk / 2);
  for (int done = 0; done < count; done += kChunk) {
    int n = std::min(kChunk, count - done);
    char* end = DaxHexToBytesBuf(bytes.data(), hex + done, n);
    stream.write(bytes.data(), end - bytes.data());
  }
}

char* DaxStripHexSpaces(char* dest, const char* src, int count) {
  for (int i = 0; i < count; ++i) {
    char c = src[i];
    if ((c >= 9 && c <= 13) || c == ' ') continue;
    *dest++ = c;
  }
  return dest;
}

int DaxFilterHexDigits(char* dest, const char* src, int count) {
  int n = 0;
  for (int i = 0; i < count; ++i) {
    unsigned char c = static_cast<unsigned char>(src[i]);
    if (c <= 0x20) continue;
    if (HexDigit(c) < 0) DaxRaiseInvalidHexCharacter();
    dest[n++] = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  }
  return n;
}

void DaxHexFlushChunk(const char* digits, int count, std::ostream& stream) {
  DaxHexBufToStream(digits, count, stream);
}

void DaxHexTextToStream(const char* hex, int count, std::ostream& stream) {
  constexpr int kBuffer = 8192;
  std::vector<char> buffer(kBuffer);
  int filled = 0;
  for (int i = 0; i < count; ++i) {
    // One source byte at a time keeps the buffer from overflowing.
    filled += DaxFilterHexDigits(buffer.data() + filled, hex + i, 1);
    if (filled == kBuffer) {
      DaxHexFlushChunk(buffer.data(), filled, stream);
      filled = 0;
    }
  }
  if (filled > 0) DaxHexFlushChunk(buffer.data(), filled, stream);
}
