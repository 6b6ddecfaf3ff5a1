#include "foundation/tags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "foundation/ansi_unicode_converter.h"
#include "foundation/types_base.h"

namespace {

TEST(Tags, BuildAndExtract) {
  EXPECT_EQ(VekTagBuild("NT", "Net 1"), "<NT>Net 1</NT>");
  EXPECT_EQ(VekTagBuild("CEF", ""), "<CEF></CEF>");

  struct Case {
    std::string name, data;
    bool ok;
    std::string value;
  };
  const Case cases[] = {
      {"NT", "<NT></NT>", true, ""},
      {"NT", "x<NT>abc", false, ""},             // opening tag only
      {"NT", "<NT></NT", false, ""},             // closing tag cut short
      {"NT", "<NT>abc</NT>", true, "abc"},
      {"SV", "<AL>1</AL><SV>2014</SV><SV>9</SV>", true, "2014"},  // first one wins
      {"SV", "<sv>1</sv>", false, ""},           // case-sensitive
      {"AL", "</AL>x<AL>5</AL>", true, "5"},     // closing tag searched after opening
      {"", "<>x</>", false, ""},
      {"NT", "", false, ""},
      {std::string(126, 'A'), "<" + std::string(126, 'A') + ">1</" + std::string(126, 'A') + ">",
       false, ""},
  };
  for (const Case& c : cases) {
    std::string value = "untouched";
    EXPECT_EQ(VekTagExtract(c.name, c.data, value), c.ok) << c.data;
    EXPECT_EQ(value, c.ok ? c.value : "untouched") << c.data;
  }
}

TEST(Tags, HexLengthPrefixIsWrittenByLength) {
  const std::pair<size_t, std::string> cases[] = {
      {0, "00"},       {1, "01"},       {127, "7F"},     {128, "8180"},      {200, "81C8"},
      {255, "81FF"},   {256, "820100"}, {300, "82012C"}, {65535, "82FFFF"},  {65536, "83010000"},
      {70000, "83011170"},
  };
  for (const auto& [n, prefix] : cases) {
    const std::string data(n, 'x');
    EXPECT_EQ(DaxHexLenField(data), prefix + data) << n;
  }
  EXPECT_EQ(DaxTypedHexLenField('5', ""), "");
  EXPECT_EQ(DaxTypedHexLenField('5', "ab"), "502ab");
  EXPECT_EQ(VekTypedUtf8Field('2', u""), "");
  EXPECT_EQ(VekTypedUtf8Field('2', u"\u00e9"), "202\xC3\xA9");
}

TEST(Tags, HexLengthPrefixIsReadFromABoundedSpan) {
  struct Case {
    std::string_view text;
    bool ok;
    uint32_t length;
    size_t consumed;
  };
  const Case cases[] = {
      {"00", true, 0, 2},
      {"7f", true, 127, 2},
      {"80", true, 128, 2},             // 0x80 is the length itself
      {"8180", true, 128, 4},
      {"81c8data", true, 200, 4},
      {"83011170", true, 70000, 8},
      {"84FFFFFFFF", true, 0xFFFFFFFFu, 10},
      {"8500000000FF", false, 0, 0},    // five length bytes do not fit 32 bits
      {"FF", false, 0, 0},
      {"82012", false, 0, 0},           // truncated inside the length bytes
      {"8", false, 0, 0},               // truncated inside the lead byte
      {"", false, 0, 0},
      {"G0", false, 0, 0},
      {"81G0", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    // A copy without a terminator, so an over-read is caught by the sanitizer.
    std::unique_ptr<char[]> buf(new char[c.text.size() + 1]);
    std::copy(c.text.begin(), c.text.end(), buf.get());
    const char* begin = buf.get();
    const char* cursor = begin;
    uint32_t length = 12345;
    EXPECT_EQ(DaxHexLenDecode(cursor, begin + c.text.size(), length), c.ok);
    EXPECT_EQ(length, c.ok ? c.length : 12345u);
    EXPECT_EQ(static_cast<size_t>(cursor - begin), c.consumed);

    std::string_view view(begin, c.text.size());
    EXPECT_EQ(DaxHexLenDecode(view, length), c.ok);
    EXPECT_EQ(view.size(), c.text.size() - c.consumed);
  }
}

TEST(Tags, HexToInt) {
  uint32_t v = 0;
  EXPECT_TRUE(DaxHexToInt("FFFFFFF", v));
  EXPECT_EQ(v, 268435455u);
  EXPECT_TRUE(DaxHexToInt("7fffffff", v));
  EXPECT_EQ(v, 2147483647u);
  EXPECT_TRUE(DaxHexToInt("FFFFFFFF", v));
  EXPECT_EQ(v, 0xFFFFFFFFu);
  EXPECT_TRUE(DaxHexToInt("000000000A", v));  // leading zeros are not significant
  EXPECT_EQ(v, 10u);
  EXPECT_TRUE(DaxHexToInt("", v));
  EXPECT_EQ(v, 0u);
  v = 7;
  EXPECT_FALSE(DaxHexToInt("12x4", v));
  EXPECT_EQ(v, 7u);
  try {
    DaxHexToInt("100000000", v);
    ADD_FAILURE() << "no overflow";
  } catch (const EIntOverflow& e) {
    EXPECT_EQ(e.Message(), "Integer overflow");
  }
}

TEST(Tags, TrimCutAndAccountRecord) {
  EXPECT_EQ(VekTrimCut(u"  abc  ", 2), u"ab");
  EXPECT_EQ(VekTrimCut(u" ab cd", 3), u"ab");  // trimmed again after the cut
  EXPECT_EQ(VekTrimCut(u"abc", 0), u"");

  EXPECT_EQ(VekAccountRecord(clt_PC, u"", u"", u"", u"", u"", u"", u"", u""), "2");
  // Fields in type order, the password before the operator text.
  EXPECT_EQ(VekAccountRecord(clt_GATEWAY, u"a@b", u"OP", u"pw", u" 2m ", u"", u"", u"RU", u""),
            "1003a@b102pw202OP3022m502RU");
  // Band: 41 characters are cut to 40 and trimmed; UTF-8 lengths in bytes.
  const std::u16string band = u" " + std::u16string(39, u'b') + u" xy";
  const std::u16string city = std::u16string(70, u'\u0416');  // 2 bytes each in UTF-8
  const std::string rec =
      VekAccountRecord(clt_GATEWAY, u"", u"", u"", band, u"", city, u"", std::u16string(40, u'n'));
  std::string cityBytes;
  for (int i = 0; i < 64; ++i) cityBytes += "\xD0\x96";
  EXPECT_EQ(rec, "13" "27" + std::string(39, 'b') + "6" "8180" + cityBytes + "720" +
                     std::string(32, 'n'));
}

TEST(Tags, FitEncodedLengthCutsWholeCharacters) {
  TAnsiUnicodeConverter utf8;
  utf8.SetCharset(u"UTF-8");
  TAnsiUnicodeConverter cp1251;
  cp1251.SetCharset(u"CP1251");
  const std::u16string cyr = u"\u0416\u0416\u0416";  // 2 bytes each in UTF-8, 1 in CP1251
  EXPECT_EQ(VekFitEncodedLength(utf8, 5, cyr), "\xD0\x96\xD0\x96");
  EXPECT_EQ(VekFitEncodedLength(utf8, 6, cyr), "\xD0\x96\xD0\x96\xD0\x96");
  EXPECT_EQ(VekFitEncodedLength(utf8, 1, cyr), "");
  EXPECT_EQ(VekFitEncodedLength(cp1251, 2, cyr), "\xC6\xC6");
  EXPECT_EQ(VekFitEncodedLength(cp1251, 50, std::u16string(60, u'a')), std::string(50, 'a'));
  EXPECT_EQ(VekFitEncodedLength(cp1251, 50, u""), "");
}

TEST(Tags, HostPortAndPorts) {
  EXPECT_EQ(VekHostPortText(u"vek.example.org", 10025), u"vek.example.org:10025");
  EXPECT_EQ(VekHostPortText(u"::1", 80), u"[::1]:80");

  const std::pair<std::u16string, int32_t> cases[] = {
      {u"0", -1},  {u"65536", -1}, {u"-1", -1},   {u"12a", -1},
      {u"", -1},   {u" 8080 ", 8080}, {u"1", 1}, {u"65535", 65535}, {u"+80", 80},
  };
  for (const auto& [text, want] : cases) {
    int32_t port = -1;
    EXPECT_EQ(VekTryParsePort(text, port), want != -1) << std::string(text.begin(), text.end());
    EXPECT_EQ(port, want);
    port = -1;
    EXPECT_EQ(VekTryParsePortA(std::string(text.begin(), text.end()), port), want != -1);
    EXPECT_EQ(port, want);
  }
}

TEST(Tags, TypeDigits) {
  uint8_t v = 9;
  EXPECT_TRUE(VekDigitTo012('2', v));
  EXPECT_EQ(v, 2);
  EXPECT_FALSE(VekDigitTo012('3', v));
  EXPECT_FALSE(VekDigitTo012('/', v));
  EXPECT_EQ(v, 2);
  EXPECT_EQ(Vek012ToDigit(clt_GATEWAY), "1");
}

}  // namespace
