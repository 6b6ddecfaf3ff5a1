#include "net/idn.h"

#include "foundation/text_output.h"
#include "foundation/types.h"
#include "foundation/wire_text.h"

namespace {

constexpr std::uint32_t kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700;
constexpr std::uint32_t kInitialBias = 72, kInitialN = 128;
constexpr char kDelimiter = '-';
constexpr std::uint32_t kMaxInt = 0xFFFFFFFFu;

bool IsBasic(std::uint32_t cp) { return cp < 0x80; }

char EncodeDigit(std::uint32_t d, bool upper) {
  // 0..25 -> a..z (A..Z), 26..35 -> 0..9
  if (d < 26) return static_cast<char>((upper ? 'A' : 'a') + d);
  return static_cast<char>('0' + d - 26);
}

std::uint32_t DecodeDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0' + 26;
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a';
  return kBase;
}

char EncodeBasic(std::uint32_t cp, bool upper) {
  char c = static_cast<char>(cp);
  if (c >= 'a' && c <= 'z' && upper) return static_cast<char>(c - 'a' + 'A');
  if (c >= 'A' && c <= 'Z' && !upper) return static_cast<char>(c - 'A' + 'a');
  return c;
}

std::uint32_t Adapt(std::uint32_t delta, std::uint32_t numPoints, bool firstTime) {
  delta = firstTime ? delta / kDamp : delta / 2;
  delta += delta / numPoints;
  std::uint32_t k = 0;
  while (delta > ((kBase - kTMin) * kTMax) / 2) {
    delta /= kBase - kTMin;
    k += kBase;
  }
  return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

}  // namespace

int DaxPunycodeEncode(const char16_t* input, std::size_t inputLength, const unsigned char* caseFlags,
                      std::size_t* outputLength, char* output) {
  const std::size_t capacity = output ? *outputLength : static_cast<std::size_t>(-1);
  std::size_t out = 0;
  auto put = [&](char c) -> bool {
    if (out >= capacity) return false;
    if (output) output[out] = c;
    ++out;
    return true;
  };
  if (inputLength > kMaxInt) return DAX_PUNYCODE_OVERFLOW;

  for (std::size_t j = 0; j < inputLength; ++j) {
    if (IsBasic(input[j])) {
      if (!put(caseFlags ? EncodeBasic(input[j], caseFlags[j] != 0) : static_cast<char>(input[j])))
        return DAX_PUNYCODE_BIG_OUTPUT;
    }
  }
  const std::uint32_t b = static_cast<std::uint32_t>(out);
  std::uint32_t h = b;
  if (b > 0 && !put(kDelimiter)) return DAX_PUNYCODE_BIG_OUTPUT;

  std::uint32_t n = kInitialN, delta = 0, bias = kInitialBias;
  while (h < inputLength) {
    std::uint32_t m = kMaxInt;
    for (std::size_t j = 0; j < inputLength; ++j)
      if (input[j] >= n && input[j] < m) m = input[j];
    if (m - n > (kMaxInt - delta) / (h + 1)) return DAX_PUNYCODE_OVERFLOW;
    delta += (m - n) * (h + 1);
    n = m;
    for (std::size_t j = 0; j < inputLength; ++j) {
      if (input[j] < n) {
        if (++delta == 0) return DAX_PUNYCODE_OVERFLOW;
      }
      if (input[j] == n) {
        std::uint32_t q = delta;
        for (std::uint32_t k = kBase;; k += kBase) {
          const std::uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
          if (q < t) break;
          if (!put(EncodeDigit(t + (q - t) % (kBase - t), false))) return DAX_PUNYCODE_BIG_OUTPUT;
          q = (q - t) / (kBase - t);
        }
        if (!put(EncodeDigit(q, caseFlags && caseFlags[j] != 0))) return DAX_PUNYCODE_BIG_OUTPUT;
        bias = Adapt(delta, h + 1, h == b);
        delta = 0;
        ++h;
      }
    }
    ++delta;
    ++n;
  }
  *outputLength = out;
  return DAX_PUNYCODE_SUCCESS;
}

int DaxPunycodeDecode(const char* input, std::size_t inputLength, std::size_t* outputLength,
                      char16_t* output, unsigned char* caseFlags) {
  const std::size_t capacity = output ? *outputLength : static_cast<std::size_t>(-1);
  if (inputLength > kMaxInt) return DAX_PUNYCODE_OVERFLOW;

  // Basic code points are those before the last delimiter.
  std::size_t b = 0;
  for (std::size_t j = 0; j < inputLength; ++j)
    if (input[j] == kDelimiter) b = j;
  if (b > capacity) return DAX_PUNYCODE_BIG_OUTPUT;
  std::size_t out = 0;
  for (std::size_t j = 0; j < b; ++j) {
    const unsigned char c = static_cast<unsigned char>(input[j]);
    if (!IsBasic(c)) return DAX_PUNYCODE_BAD_INPUT;
    if (caseFlags) caseFlags[out] = (c >= 'A' && c <= 'Z');
    if (output) output[out] = c;
    ++out;
  }
  std::uint32_t n = kInitialN, i = 0, bias = kInitialBias;
  for (std::size_t in = b > 0 ? b + 1 : 0; in < inputLength; ++out) {
    const std::uint32_t oldi = i;
    std::uint32_t w = 1;
    bool lastUpper = false;
    for (std::uint32_t k = kBase;; k += kBase) {
      if (in >= inputLength) return DAX_PUNYCODE_BAD_INPUT;
      const unsigned char c = static_cast<unsigned char>(input[in++]);
      const std::uint32_t digit = DecodeDigit(c);
      if (digit >= kBase) return DAX_PUNYCODE_BAD_INPUT;
      if (digit > (kMaxInt - i) / w) return DAX_PUNYCODE_OVERFLOW;
      i += digit * w;
      const std::uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
      if (digit < t) {
        lastUpper = c >= 'A' && c <= 'Z';
        break;
      }
      if (w > kMaxInt / (kBase - t)) return DAX_PUNYCODE_OVERFLOW;
      w *= kBase - t;
    }
    const std::uint32_t outCount = static_cast<std::uint32_t>(out + 1);
    bias = Adapt(i - oldi, outCount, oldi == 0);
    if (i / outCount > kMaxInt - n) return DAX_PUNYCODE_OVERFLOW;
    n += i / outCount;
    i %= outCount;
    // Units are 16 bits wide: a larger code point cannot be held.
    if (n > 0xFFFF) return DAX_PUNYCODE_OVERFLOW;
    if (out >= capacity) return DAX_PUNYCODE_BIG_OUTPUT;
    if (output) {
      for (std::size_t j = out; j > i; --j) output[j] = output[j - 1];
      output[i] = static_cast<char16_t>(n);
    }
    if (caseFlags) {
      for (std::size_t j = out; j > i; --j) caseFlags[j] = caseFlags[j - 1];
      caseFlags[i] = lastUpper;
    }
    ++i;
  }
  *outputLength = out;
  return DAX_PUNYCODE_SUCCESS;
}

std::string DaxHostToAscii(const std::u16string& host) {
  std::string result;
  if (host.empty()) return result;
  std::size_t start = 0;
  while (start <= host.size()) {
    std::size_t dot = host.find(u'.', start);
    const bool hasDot = dot != std::u16string::npos;
    if (!hasDot) dot = host.size();
    const std::u16string label = host.substr(start, dot - start);
    std::size_t len = 0;
    const int rc = label.empty() ? DAX_PUNYCODE_BAD_INPUT
                                 : DaxPunycodeEncode(label.data(), label.size(), nullptr, &len, nullptr);
    if (rc != DAX_PUNYCODE_SUCCESS || len == label.size() + 1) {
      // Plain ASCII (or an empty label): copied as it is.
      for (char16_t u : label) result += static_cast<char>(u & 0xFF);
    } else {
      std::string encoded(len, '\0');
      DaxPunycodeEncode(label.data(), label.size(), nullptr, &len, encoded.data());
      encoded.resize(len);
      result += "xn--" + encoded;
    }
    if (!hasDot) break;
    result += '.';
    start = dot + 1;
    if (start == host.size()) break;  // a final dot adds nothing after it
  }
  return result;
}

std::u16string DaxHostToUnicode(const std::string& host) {
  std::u16string result;
  if (host.empty()) return result;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = host.find('.', start);
    const bool hasDot = dot != std::string::npos;
    if (!hasDot) dot = host.size();
    const std::string label = host.substr(start, dot - start);
    bool decoded = false;
    if (label.size() > 4 && label.compare(0, 4, "xn--") == 0) {
      std::size_t len = 0;
      if (DaxPunycodeDecode(label.data() + 4, label.size() - 4, &len, nullptr, nullptr) ==
          DAX_PUNYCODE_SUCCESS) {
        std::u16string text(len, u'\0');
        if (DaxPunycodeDecode(label.data() + 4, label.size() - 4, &len, text.data(), nullptr) ==
            DAX_PUNYCODE_SUCCESS) {
          text.resize(len);
          result += text;
          decoded = true;
        }
      }
    }
    if (!decoded)
      result += DaxAnsiToUnicodeRaw(label);
    if (!hasDot) break;
    result += u'.';
    start = dot + 1;
    if (start == host.size()) break;
  }
  return result;
}

bool VekHostHasBlankOrControl(const std::string& asciiHost) {
  for (unsigned char c : asciiHost)
    if (c <= 0x20 || c == 0x7F) return true;
  return false;
}

bool VekIsCleanHostName(const std::u16string& host) {
  return !host.empty() && !VekHostHasBlankOrControl(DaxHostToAscii(host)) &&
         VekSafeNetText(host) == host;
}

// ---- address texts

namespace {

bool ParseDecimalByte(const std::string& part, unsigned& value) {
  if (part.empty() || part.size() > 3) return false;
  value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 255;
}

bool ParseHexGroup(const std::string& part, unsigned& value) {
  if (part.empty()) return false;
  value = 0;
  for (char c : part) {
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    value = value * 16 + d;
    if (value > 0xFFFF) return false;
  }
  return true;
}

}  // namespace

bool VekIsIPv4Text(const std::string& text) {
  std::string rest = text;
  unsigned v;
  for (int i = 0; i < 3; ++i)
    if (!ParseDecimalByte(VekFetchTrimmed(rest, "."), v)) return false;
  return ParseDecimalByte(rest, v);
}

bool VekIsIPv6Text(const std::string& text) {
  if (text == "::") return true;
  // A single ':' at either end is no "::" abbreviation.
  const std::size_t n = text.size();
  if (n >= 1 && text[0] == ':' && (n < 2 || text[1] != ':')) return false;
  if (n >= 1 && text[n - 1] == ':' && (n < 2 || text[n - 2] != ':')) return false;
  std::string rest = text;
  int gaps = 0, parts = 0, groups = 0;
  bool first = true;
  while (!rest.empty()) {
    std::string part = VekFetchTrimmed(rest, ":");
    if (++parts > 8) return false;
    if (part.empty()) {
      if (!first && ++gaps > 1) return false;
      first = false;
      continue;
    }
    first = false;
    unsigned v;
    if (rest.empty()) {
      const std::size_t pct = part.find('%');
      if (pct != std::string::npos) {
        if (!ParseHexGroup(part.substr(pct + 1), v)) return false;
        part.resize(pct);
      }
    }
    if (!ParseHexGroup(part, v)) return false;
    ++groups;
  }
  // Without "::" all eight groups are written; with it at most seven.
  return gaps == 0 ? groups == 8 : (groups >= 1 && groups <= 7);
}

bool VekIsIPv6Text(const std::u16string& text) {
  std::string narrow;
  for (char16_t u : text) {
    if (u > 0x7F) return false;
    narrow += static_cast<char>(u);
  }
  return VekIsIPv6Text(narrow);
}

std::array<std::uint8_t, 4> VekIPv4ToBytes(const std::string& text) {
  std::array<std::uint8_t, 4> bytes{};
  std::string rest = text;
  for (int i = 0; i < 4; ++i) {
    const std::string part = i < 3 ? VekFetchTrimmed(rest, ".") : VekTrimSpaces(rest);
    unsigned value = 0;
    bool number = !part.empty() && part.size() <= 10;
    for (char c : part) {
      if (c < '0' || c > '9') {
        number = false;
        break;
      }
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    bytes[i] = number ? static_cast<std::uint8_t>(value & 0xFF) : 0;
  }
  return bytes;
}

std::string VekExpandIPv6(const std::string& text) {
  std::string s = text;
  if (!s.empty() && s.front() == ':') s.insert(0, "0");
  if (!s.empty() && s.back() == ':') s += "0";
  const std::size_t gap = s.find("::");
  if (gap != std::string::npos) {
    const int groups = VekCountChar(s, ':');  // "::" counts two separators, one group fewer
    std::string filler;
    for (int g = groups; g < 8; ++g) filler += ":0";
    s = s.substr(0, gap) + filler + ":" + s.substr(gap + 2);
  }
  return s;
}

std::array<std::uint8_t, 16> VekIPv6ToBytes(const std::string& text) {
  std::array<std::uint8_t, 16> bytes{};
  std::string rest = VekExpandIPv6(text);
  for (int i = 0; i < 8 && !rest.empty(); ++i) {
    std::string part = VekFetchTrimmed(rest, ":");
    if (i == 7) part = part.substr(0, part.find('%'));
    unsigned v;
    if (!ParseHexGroup(part, v)) break;
    bytes[2 * i] = static_cast<std::uint8_t>(v >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(v & 0xFF);
  }
  return bytes;
}

std::string VekIPv6BytesToText(const std::array<std::uint8_t, 16>& bytes) {
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = (bytes[2 * i] << 8) | bytes[2 * i + 1];
  // Longest run of two or more zero groups, the first of equal ones.
  int bestStart = -1, bestLen = 1;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLen) {
      bestStart = i;
      bestLen = j - i;
    }
    i = j;
  }
  static const char* hex = "0123456789abcdef";
  auto group = [&](unsigned v) {
    std::string g;
    do {
      g.insert(g.begin(), hex[v & 0xF]);
      v >>= 4;
    } while (v);
    return g;
  };
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      out += "::";
      i += bestLen - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    out += group(groups[i]);
  }
  return out;
}
