#include "foundation/hex.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

uint32_t ZlibCrc(uint32_t crc, const std::string& s) {
  return static_cast<uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

TEST(Crc32, MatchesZlibIncludingChaining) {
  DaxCrc32InitTable();
  EXPECT_EQ(DaxCrc32String(0, "123456789"), 0xCBF43926u);

  std::mt19937 rng(42);
  std::vector<std::string> blocks = {"", "a", std::string(1, '\xff'), std::string(3, '\0')};
  for (size_t len : {1u, 7u, 64u, 1000u, 4097u}) {
    std::string s(len, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    blocks.push_back(s);
  }
  for (const auto& s : blocks) {
    EXPECT_EQ(DaxCrc32Update(0, s.data(), static_cast<int>(s.size())), ZlibCrc(0, s)) << s.size();
    // Chained over every split point class: the halves give the whole.
    for (size_t cut : {size_t{0}, s.size() / 2, s.size()}) {
      uint32_t c = DaxCrc32Update(0, s.data(), static_cast<int>(cut));
      c = DaxCrc32Update(c, s.data() + cut, static_cast<int>(s.size() - cut));
      EXPECT_EQ(c, ZlibCrc(0, s)) << s.size() << "/" << cut;
    }
    // Continuing from an arbitrary running value agrees with zlib too.
    EXPECT_EQ(DaxCrc32String(0x12345678u, s), s.empty() ? 0x12345678u : ZlibCrc(0x12345678u, s));
  }
  EXPECT_EQ(DaxCrc32Update(0xABCDu, "x", 0), 0xABCDu);
  EXPECT_EQ(DaxCrc32Update(0xABCDu, "x", -1), 0xABCDu);
}

TEST(Crc32, UnicodeStringHashesLittleEndianUnits) {
  const unsigned char a[] = {0x41, 0x00};
  EXPECT_EQ(DaxCrc32UnicodeString(0, u"A"), DaxCrc32Update(0, a, 2));
  const std::string le("\x16\x04" "z\x00" "\x3d\xd8\x00\xde", 8);
  EXPECT_EQ(DaxCrc32UnicodeString(0, u"\u0416z\U0001F600"), ZlibCrc(0, le));
  EXPECT_EQ(DaxCrc32UnicodeString(0x777u, u""), 0x777u);
  uint32_t c = DaxCrc32UnicodeString(0, u"\u0416z");
  EXPECT_EQ(DaxCrc32UnicodeString(c, u"\U0001F600"), ZlibCrc(0, le));
}

TEST(Hex, ToUInt32) {
  struct {
    const char16_t* text;
    bool ok;
    uint32_t value;
  } cases[] = {
      {u"1f", true, 31},          {u"001F", true, 31},        {u" 1F", true, 31},
      {u"\t\r\n1F", true, 31},    {u"FFFFFFFF", true, 0xFFFFFFFFu},
      {u"00000000000ffffffff", true, 0xFFFFFFFFu},           {u"0", true, 0},
      {u"100000000", false, 0},   {u"1F ", false, 0},         {u"", false, 0},
      {u"  ", false, 0},          {u"0x1F", false, 0},        {u"$1F", false, 0},
      {u"1G", false, 0},          {u"-1", false, 0},          {u"\uff11", false, 0},
  };
  for (auto& c : cases) {
    uint32_t v = 0xDEADu;
    EXPECT_EQ(DaxHexToUInt32(c.text, v), c.ok);
    EXPECT_EQ(v, c.ok ? c.value : 0xDEADu);
  }
}

TEST(Hex, ToBytesAndErrors) {
  EXPECT_EQ(DaxHexToBytes("00ff7Fa0"), std::string("\x00\xff\x7f\xa0", 4));
  EXPECT_EQ(DaxHexToBytes(""), "");
  EXPECT_EQ(DaxHexBufToBytes("4142zz", 4), "AB");

  char out[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(DaxHexToBytesBuf(out, "0A0b", 4), out + 2);
  EXPECT_EQ(out[0], '\x0a');
  EXPECT_EQ(out[1], '\x0b');

  // An odd count is refused before anything is written.
  out[0] = '#';
  try {
    DaxHexToBytesBuf(out, "41424", 5);
    ADD_FAILURE();
  } catch (const EInvalidHexLengthError& e) {
    EXPECT_STREQ(e.what(), "Invalid HEX length");
  }
  EXPECT_EQ(out[0], '#');

  for (const char* bad : {"4g", "4 ", "x0", "0-"}) {
    try {
      DaxHexToBytes(bad);
      ADD_FAILURE() << bad;
    } catch (const EInvalidHexCharacterError& e) {
      EXPECT_STREQ(e.what(), "Invalid HEX character");
      EXPECT_EQ(DaxExceptionText(e), "EInvalidHexCharacterError: Invalid HEX character");
    }
  }
  // Both are conversion errors.
  EXPECT_THROW(DaxHexToBytes("1"), EConvertError);
  EXPECT_THROW(DaxHexToBytes("zz"), EInvalidHexError);
}

TEST(Hex, FiltersAndStreams) {
  char out[32];
  const std::string spaced = " 4\t1\r\n42 \v\f";
  char* end = DaxStripHexSpaces(out, spaced.data(), static_cast<int>(spaced.size()));
  EXPECT_EQ(std::string(out, end), "4142");

  const std::string messy = "\x01" "ab cd\x7f";
  EXPECT_THROW(DaxFilterHexDigits(out, messy.data(), static_cast<int>(messy.size())),
               EInvalidHexCharacterError);
  const std::string ok = "\x01" "ab cD\x20" "9";
  int n = DaxFilterHexDigits(out, ok.data(), static_cast<int>(ok.size()));
  EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "ABCD9");

  // Streams cross their chunk sizes: 32768 hex characters per conversion,
  // 8192 filtered digits per flush.
  std::mt19937 rng(7);
  std::string bytes(40000, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  std::string hex, text;
  const char* digits = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    hex += digits[b >> 4];
    hex += digits[b & 15];
    text += digits[b >> 4];
    text += (i % 3 == 0) ? " " : "";
    text += digits[b & 15];
    if (i % 50 == 0) text += "\r\n";
  }
  std::ostringstream s1;
  DaxHexBufToStream(hex.data(), static_cast<int>(hex.size()), s1);
  EXPECT_EQ(s1.str(), bytes);
  std::ostringstream s2;
  DaxHexTextToStream(text.data(), static_cast<int>(text.size()), s2);
  EXPECT_EQ(s2.str(), bytes);

  std::ostringstream s3;
  EXPECT_THROW(DaxHexTextToStream("abc", 3, s3), EInvalidHexLengthError);
}

}  // namespace
