#include "foundation/types.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

void DaxRaiseBufferTooSmall() { throw Exception("Buffer too small"); }

void DaxRaiseNotDigit() { throw EConvertError("Not digit character"); }

// ---------------------------------------------------------------------------
// Trimming and case

bool DaxIsUnicodeSpace(char16_t c) {
  return (c >= 9 && c <= 13) || c == 32 || c == 0x85 || c == 0xA0 || c == 0x3000;
}

namespace {

inline bool IsCtl8(char c) { return static_cast<unsigned char>(c) <= 0x20; }

template <class Str, class Pred>
Str TrimBoth(const Str& s, Pred drop) {
  size_t b = 0, e = s.size();
  while (b < e && drop(s[b])) ++b;
  while (e > b && drop(s[e - 1])) --e;
  return s.substr(b, e - b);
}

template <class Str, class Pred>
Str TrimStart(const Str& s, Pred drop) {
  size_t b = 0;
  while (b < s.size() && drop(s[b])) ++b;
  return s.substr(b);
}

template <class Str, class Pred>
Str TrimEnd(const Str& s, Pred drop) {
  size_t e = s.size();
  while (e > 0 && drop(s[e - 1])) --e;
  return s.substr(0, e);
}

}  // namespace

std::string DaxTrim(const std::string& s) { return TrimBoth(s, IsCtl8); }
std::string DaxTrimLeft(const std::string& s) { return TrimStart(s, IsCtl8); }
std::string DaxTrimRight(const std::string& s) { return TrimEnd(s, IsCtl8); }
std::u16string DaxTrimControlW(const std::u16string& s) {
  return TrimBoth(s, DaxIsControlOrBlank);
}
std::u16string DaxTrimLeftW(const std::u16string& s) {
  return TrimStart(s, DaxIsControlOrBlank);
}
std::u16string DaxTrimW(const std::u16string& s) { return TrimBoth(s, DaxIsUnicodeSpace); }

std::string DaxUpperCaseAscii(const std::string& s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

std::u16string DaxUpperCaseAsciiW(const std::u16string& s) {
  std::u16string r(s);
  for (char16_t& c : r)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return r;
}

// ---------------------------------------------------------------------------
// Byte-for-unit copies

std::string DaxUnicodeToAnsiRaw(const std::u16string& s) {
  std::string r(s.size(), '\0');
  DaxNarrowCopy(r.data(), s.data(), static_cast<int>(s.size()));
  return r;
}

void DaxNarrowCopy(char* dest, const char16_t* src, int count) {
  for (int i = 0; i < count; ++i) dest[i] = static_cast<char>(src[i] & 0xFF);
}

std::u16string DaxAnsiToUnicodeRaw(const std::string& s) {
  return DaxPCharToUnicodeRaw(s.data(), static_cast<int>(s.size()));
}

std::u16string DaxPCharToUnicodeRaw(const char* p, int length) {
  if (length <= 0) return {};
  std::u16string r(static_cast<size_t>(length), u'\0');
  DaxWidenCopy(r.data(), p, length);
  return r;
}

void DaxWidenCopy(char16_t* dest, const char* src, int count) {
  for (int i = 0; i < count; ++i) dest[i] = static_cast<unsigned char>(src[i]);
}

// ---------------------------------------------------------------------------
// Searches and substrings

int DaxPosCharW(char16_t c, const std::u16string& s) {
  size_t i = s.find(c);
  return i == std::u16string::npos ? 0 : static_cast<int>(i) + 1;
}

int DaxPosW(const std::u16string& sub, const std::u16string& s) {
  if (sub.empty() || s.empty()) return 0;
  size_t i = s.find(sub);
  return i == std::u16string::npos ? 0 : static_cast<int>(i) + 1;
}

const char16_t* DaxFindWordUnit(char16_t unit, const char16_t* p, int count) {
  for (int i = 0; i < count; ++i)
    if (p[i] == unit) return p + i;
  return nullptr;
}

std::string DaxRightStr(const std::string& s, int n) {
  if (n <= 0) return {};
  size_t k = std::min(s.size(), static_cast<size_t>(n));
  return s.substr(s.size() - k);
}

std::u16string DaxRightStrW(const std::u16string& s, int n) {
  if (n <= 0) return {};
  size_t k = std::min(s.size(), static_cast<size_t>(n));
  return s.substr(s.size() - k);
}

namespace {

template <class Str>
Str CopyFromImpl(const Str& s, int pos) {
  if (pos < 1) return s;
  if (static_cast<size_t>(pos) > s.size()) return {};
  return s.substr(static_cast<size_t>(pos) - 1);
}

}  // namespace

std::string DaxCopyFrom(const std::string& s, int pos) { return CopyFromImpl(s, pos); }
std::string DaxCopyFromRaw(const std::string& s, int pos) { return CopyFromImpl(s, pos); }
std::u16string DaxCopyFromW(const std::u16string& s, int pos) { return CopyFromImpl(s, pos); }

// ---------------------------------------------------------------------------
// Fields

namespace {

template <class Str, class Ch>
bool LocateFieldImpl(const Str& text, Ch delimiter, int n, int& start, int& length) {
  start = 0;
  length = 0;
  if (n < 1 || text.empty()) return false;
  size_t b = 0;
  for (int k = 1; k < n; ++k) {
    size_t d = text.find(delimiter, b);
    if (d == Str::npos) return false;
    b = d + 1;
  }
  size_t e = text.find(delimiter, b);
  if (e == Str::npos) e = text.size();
  start = static_cast<int>(b) + 1;
  length = static_cast<int>(e - b);
  return true;
}

template <class Str, class Ch>
bool GetFieldImpl(const Str& text, Ch delimiter, int n, Str& field) {
  int start, length;
  if (!LocateFieldImpl(text, delimiter, n, start, length)) {
    field.clear();
    return false;
  }
  field = text.substr(static_cast<size_t>(start) - 1, static_cast<size_t>(length));
  return true;
}

template <class Str, class Ch>
int FieldCountImpl(const Str& text, Ch delimiter) {
  if (text.empty()) return 0;
  int count = 1;
  for (auto c : text)
    if (c == delimiter) ++count;
  return count;
}

}  // namespace

bool DaxGetField(const std::string& text, char delimiter, int n, std::string& field) {
  return GetFieldImpl(text, delimiter, n, field);
}
bool DaxGetFieldRaw(const std::string& text, char delimiter, int n, std::string& field) {
  return GetFieldImpl(text, delimiter, n, field);
}
bool DaxGetFieldW(const std::u16string& text, char16_t delimiter, int n, std::u16string& field) {
  return GetFieldImpl(text, delimiter, n, field);
}
bool DaxLocateField(const std::string& text, char delimiter, int n, int& start, int& length) {
  return LocateFieldImpl(text, delimiter, n, start, length);
}
bool DaxLocateFieldW(const std::u16string& text, char16_t delimiter, int n, int& start,
                     int& length) {
  return LocateFieldImpl(text, delimiter, n, start, length);
}
int DaxFieldCount(const std::string& text, char delimiter) {
  return FieldCountImpl(text, delimiter);
}
int DaxFieldCountW(const std::u16string& text, char16_t delimiter) {
  return FieldCountImpl(text, delimiter);
}

// ---------------------------------------------------------------------------
// Strict integer parsing

namespace {

// `end` == nullptr: the input ends at the first NUL.
template <class Int, class Ch>
bool ParseStrict(const Ch* p, const Ch* end, Int& value) {
  using U = std::make_unsigned_t<Int>;
  auto at_end = [&](const Ch* q) { return end ? q >= end : *q == 0; };
  auto unit = [](Ch c) { return static_cast<uint32_t>(static_cast<std::make_unsigned_t<Ch>>(c)); };

  if (!p) return false;
  while (!at_end(p) && unit(*p) <= 0x20) ++p;
  if (at_end(p)) return false;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
    if (at_end(p)) return false;
  }
  const U limit = negative ? static_cast<U>(std::numeric_limits<Int>::max()) + 1u
                           : static_cast<U>(std::numeric_limits<Int>::max());
  U acc = 0;
  do {
    uint32_t c = unit(*p);
    if (c < '0' || c > '9') return false;
    U digit = static_cast<U>(c - '0');
    if (acc > (limit - digit) / 10u) return false;
    acc = static_cast<U>(acc * 10u + digit);
    ++p;
  } while (!at_end(p));
  // Two's complement negation in the unsigned domain; -limit fits exactly.
  value = negative ? static_cast<Int>(static_cast<U>(0u - acc)) : static_cast<Int>(acc);
  return true;
}

}  // namespace

bool DaxTryStrToInt(const char* s, int32_t& value) {
  return ParseStrict<int32_t, char>(s, nullptr, value);
}
bool DaxTryStrToInt2(const char* s, int32_t& value) {
  return ParseStrict<int32_t, char>(s, nullptr, value);
}
bool DaxTryStrToIntW(const char16_t* s, int32_t& value) {
  return ParseStrict<int32_t, char16_t>(s, nullptr, value);
}
bool DaxTryBufToInt(const char* p, int length, int32_t& value) {
  if (!p || length <= 0) return false;
  return ParseStrict<int32_t, char>(p, p + length, value);
}
bool DaxTryStrToInt64(const char* s, int64_t& value) {
  return ParseStrict<int64_t, char>(s, nullptr, value);
}
bool DaxTryStrToInt64W(const char16_t* s, int64_t& value) {
  return ParseStrict<int64_t, char16_t>(s, nullptr, value);
}

bool DaxTryStrToBoolW(const std::u16string& s, bool& value) {
  int64_t n;
  if (DaxTryStrToInt64W(s.c_str(), n)) {
    value = n != 0;
    return true;
  }
  const std::u16string u = DaxUpperCaseAsciiW(s);
  for (const char16_t* w : {u"TRUE", u"YES", u"ON", u"T", u"Y"})
    if (u == w) {
      value = true;
      return true;
    }
  for (const char16_t* w : {u"FALSE", u"NO", u"OFF", u"F", u"N"})
    if (u == w) {
      value = false;
      return true;
    }
  return false;
}

const char* DaxParseDigits(const char* p, int length, int32_t& value) {
  if (length <= 0) return p;
  uint32_t acc = 0;  // wraps by design; unsigned keeps it defined
  for (int i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c < '0' || c > '9') DaxRaiseNotDigit();
    acc = acc * 10u + (c - '0');
  }
  value = static_cast<int32_t>(acc);
  return p + length;
}

// ---------------------------------------------------------------------------
// Formatting

char* DaxIntToBuf(char* buffer, int32_t value, int& size) {
  if (size < 2) DaxRaiseBufferTooSmall();
  const bool negative = value < 0;
  uint32_t mag = negative ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  int digits = 1;
  for (uint32_t t = mag; t >= 10; t /= 10) ++digits;
  const int chars = digits + (negative ? 1 : 0);
  const int needed = value == std::numeric_limits<int32_t>::min() ? 12 : chars + 2;
  if (size < needed) DaxRaiseBufferTooSmall();
  char* q = buffer + size - 1;
  *q = '\0';
  do {
    *--q = static_cast<char>('0' + mag % 10);
    mag /= 10;
  } while (mag);
  if (negative) *--q = '-';
  size = chars;
  return q;
}

namespace {

template <class Ch>
Ch* IntToDigitsImpl(Ch* buffer, int32_t value, int width) {
  if (width <= 0) return buffer;
  uint32_t mag = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  for (int i = width - 1; i >= 0; --i) {
    buffer[i] = static_cast<Ch>('0' + mag % 10);
    mag /= 10;
  }
  return buffer + width;
}

}  // namespace

char* DaxIntToDigits(char* buffer, int32_t value, int width) {
  return IntToDigitsImpl(buffer, value, width);
}
char* DaxIntToDigits2(char* buffer, int32_t value, int width) {
  return IntToDigitsImpl(buffer, value, width);
}
char16_t* DaxIntToDigitsW(char16_t* buffer, int32_t value, int width) {
  return IntToDigitsImpl(buffer, value, width);
}
std::u16string DaxIntToStrW(int64_t value) { return DaxAnsiToUnicodeRaw(std::to_string(value)); }

std::u16string DaxIntToDigitsStrW(int32_t value, int width) {
  if (width <= 0) return {};
  std::u16string r(static_cast<size_t>(width), u'0');
  IntToDigitsImpl(r.data(), value, width);
  return r;
}

// ---------------------------------------------------------------------------
// UTF-8

void DaxUtf8DecodeW(std::u16string& out, const char* p, int length) {
  out.clear();
  if (length <= 0 || !p) return;
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  size_t room = 0;
  for (int i = 0; i < length; ++i) {
    if ((b[i] & 0xC0) != 0x80) ++room;
    if ((b[i] & 0xF8) == 0xF0) ++room;  // second unit of a surrogate pair
  }
  out.reserve(room);
  int i = 0;
  while (i < length) {
    const unsigned char lead = b[i];
    uint32_t cp;
    int more;
    if (lead < 0x80) {
      cp = lead;
      more = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F;
      more = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F;
      more = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07;
      more = 3;
    } else {
      return;  // stray continuation byte or 0xF8-0xFF
    }
    if (more > length - i - 1) return;
    for (int k = 1; k <= more; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return;
      cp = (cp << 6) | (b[i + k] & 0x3F);
    }
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else if (cp <= 0x10FFFF) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      return;  // beyond Unicode: no UTF-16 form, ends like a bad byte
    }
    i += more + 1;
  }
}

// ---------------------------------------------------------------------------
// Memory

void DaxMove(void* dest, const void* src, int n) {
  if (n > 0) std::memmove(dest, src, static_cast<size_t>(n));
}

void DaxReverseBytes(void* dest, const void* src, int n) {
  if (n <= 0) return;
  auto* d = static_cast<unsigned char*>(dest);
  if (dest != src) std::memmove(d, src, static_cast<size_t>(n));
  for (int i = 0, j = n - 1; i < j; ++i, --j) std::swap(d[i], d[j]);
}

bool DaxSameBytes(const void* a, const void* b, int n) {
  return n <= 0 || std::memcmp(a, b, static_cast<size_t>(n)) == 0;
}

int DaxCompareBytes(const void* a, const void* b, int n) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  int i = 0;
  for (; i + 8 <= n; i += 8) {  // skip equal words, then find the byte
    uint64_t u, v;
    std::memcpy(&u, x + i, 8);
    std::memcpy(&v, y + i, 8);
    if (u != v) break;
  }
  for (; i < n; ++i)
    if (x[i] != y[i]) return static_cast<int>(x[i]) - static_cast<int>(y[i]);
  return 0;
}

const void* DaxIndexByte(uint8_t value, const void* p, int n) {
  if (n <= 0) return nullptr;
  return std::memchr(p, value, static_cast<size_t>(n));
}

const void* DaxIndexWord(const void* p, uint16_t value, int n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (int i = 0; i < n; ++i) {
    uint16_t w;
    std::memcpy(&w, b + 2 * i, 2);
    if (w == value) return b + 2 * i;
  }
  return nullptr;
}

const void* DaxFindBytes(const void* buffer, int length, const void* pattern, int patternLength) {
  if (length <= 0 || patternLength <= 0 || patternLength > length) return nullptr;
  return memmem(buffer, static_cast<size_t>(length), pattern, static_cast<size_t>(patternLength));
}

int DaxCountByte(const void* p, int n, uint8_t value) {
  const auto* b = static_cast<const unsigned char*>(p);
  int count = 0;
  for (int i = 0; i < n; ++i) count += b[i] == value;
  return count;
}

int DaxCountWord(const void* p, int n, uint16_t value) {
  const auto* b = static_cast<const unsigned char*>(p);
  int count = 0;
  for (int i = 0; i < n; ++i) {
    uint16_t w;
    std::memcpy(&w, b + 2 * i, 2);
    count += w == value;
  }
  return count;
}

bool DaxIsNonZeroBuffer(const void* p, int n) {
  if (n <= 0) return false;
  const auto* b = static_cast<const unsigned char*>(p);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, b + i, 8);
    if (w) return true;
  }
  for (; i < n; ++i)
    if (b[i]) return true;
  return false;
}

int32_t DaxPeakInt16(const int16_t* samples, int count) {
  int32_t peak = 0;
  for (int i = 0; i < count; ++i) {
    int32_t v = samples[i];
    if (v < 0) v = -v;
    if (v > peak) peak = v;
  }
  return peak;
}
