#include "foundation/types.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(Types, TrimSetsDiffer) {
  EXPECT_EQ(DaxTrim("\t\r\n\x01 ab c \x1f\r\n"), "ab c");
  EXPECT_EQ(DaxTrim(" x "), "x");
  EXPECT_EQ(DaxTrimLeft(" \tab "), "ab ");
  EXPECT_EQ(DaxTrimRight(" ab \n"), " ab");
  EXPECT_EQ(DaxTrim(" \t "), "");
  // Bytes above 0x20 (0x7F, Latin-1 no-break space) are not trimmed.
  EXPECT_EQ(DaxTrim("\x7f" "a\xa0"), "\x7f" "a\xa0");

  // The UTF-16 full trim uses Unicode space: U+3000, U+0085, U+00A0 go,
  // U+2003 and the control 0x01 stay.
  EXPECT_EQ(DaxTrimW(u"\u3000\u0085\u00a0 a \t\r\n"), u"a");
  EXPECT_EQ(DaxTrimW(u"\u2003a\u2003"), u"\u2003a\u2003");
  EXPECT_EQ(DaxTrimW(u"\x01" u"a"), u"\x01" u"a");
  // The UTF-16 left trim uses the control set instead.
  EXPECT_EQ(DaxTrimLeftW(u"\x01\x1f a "), u"a ");
  EXPECT_EQ(DaxTrimLeftW(u"\u3000a"), u"\u3000a");
  EXPECT_EQ(DaxTrimControlW(u"\x01 a\u3000 \x1f"), u"a\u3000");
}

TEST(Types, UpperCaseIsAsciiOnly) {
  EXPECT_EQ(DaxUpperCaseAscii("az{`AZ\xe9"), "AZ{`AZ\xe9");
  EXPECT_EQ(DaxUpperCaseAsciiW(u"koi8-r \u00e9\u0436"), u"KOI8-R \u00e9\u0436");
}

TEST(Types, RawCopiesAreByteForUnit) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  std::u16string wide = DaxAnsiToUnicodeRaw(all);
  ASSERT_EQ(wide.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(wide[i], static_cast<char16_t>(i));
  EXPECT_EQ(DaxUnicodeToAnsiRaw(wide), all);
  // Narrowing truncates to the low byte.
  EXPECT_EQ(DaxUnicodeToAnsiRaw(u"\u0416\u0141"), "\x16\x41");
  EXPECT_EQ(DaxPCharToUnicodeRaw("\xff" "ab", 2), u"\u00ff" u"a");
  EXPECT_EQ(DaxPCharToUnicodeRaw("x", 0), u"");

  char16_t w[3] = {0, 0, 0xBEEF};
  DaxWidenCopy(w, "\x80Z", 2);
  EXPECT_EQ(w[0], 0x80);
  EXPECT_EQ(w[1], u'Z');
  EXPECT_EQ(w[2], 0xBEEF);
  char n[3] = {0, 0, 'q'};
  DaxNarrowCopy(n, u"\u01ffA", 2);
  EXPECT_EQ(std::string(n, 3), "\xff" "Aq");
}

TEST(Types, PositionsAndSubstrings) {
  EXPECT_EQ(DaxPosCharW(u'b', u"abcb"), 2);
  EXPECT_EQ(DaxPosCharW(u'z', u"abc"), 0);
  EXPECT_EQ(DaxPosW(u"cb", u"abcb"), 3);
  EXPECT_EQ(DaxPosW(u"", u"abc"), 0);
  EXPECT_EQ(DaxPosW(u"a", u""), 0);
  EXPECT_EQ(DaxPosW(u"abcd", u"abc"), 0);

  const char16_t units[] = {1, 2, 3, 2};
  EXPECT_EQ(DaxFindWordUnit(2, units, 4), units + 1);
  EXPECT_EQ(DaxFindWordUnit(9, units, 4), nullptr);
  EXPECT_EQ(DaxFindWordUnit(1, units, 0), nullptr);

  struct {
    int n;
    const char* right;
  } rights[] = {{-1, ""}, {0, ""}, {2, "lo"}, {5, "hello"}, {9, "hello"}};
  for (auto& c : rights) {
    EXPECT_EQ(DaxRightStr("hello", c.n), c.right) << c.n;
    EXPECT_EQ(DaxUnicodeToAnsiRaw(DaxRightStrW(u"hello", c.n)), c.right) << c.n;
  }

  struct {
    int pos;
    const char* rest;
  } froms[] = {{-3, "hello"}, {0, "hello"}, {1, "hello"}, {2, "ello"}, {5, "o"}, {6, ""}, {99, ""}};
  for (auto& c : froms) {
    EXPECT_EQ(DaxCopyFrom("hello", c.pos), c.rest) << c.pos;
    EXPECT_EQ(DaxCopyFromRaw("hello", c.pos), c.rest) << c.pos;
    EXPECT_EQ(DaxUnicodeToAnsiRaw(DaxCopyFromW(u"hello", c.pos)), c.rest) << c.pos;
  }
}

TEST(Types, Fields) {
  struct {
    const char* text;
    int n;
    bool found;
    const char* field;
    int start, length;
  } cases[] = {
      {"a|b|", 1, true, "a", 1, 1},   {"a|b|", 2, true, "b", 3, 1},
      {"a|b|", 3, true, "", 5, 0},    {"a|b|", 4, false, "", 0, 0},
      {"a|b|", 0, false, "", 0, 0},   {"a|b|", -1, false, "", 0, 0},
      {"", 1, false, "", 0, 0},       {"|", 1, true, "", 1, 0},
      {"|", 2, true, "", 2, 0},       {"abc", 1, true, "abc", 1, 3},
      {"x||yz", 3, true, "yz", 4, 2},
  };
  for (auto& c : cases) {
    std::string field = "stale";
    EXPECT_EQ(DaxGetField(c.text, '|', c.n, field), c.found) << c.text << " " << c.n;
    EXPECT_EQ(field, c.field) << c.text << " " << c.n;
    field = "stale";
    EXPECT_EQ(DaxGetFieldRaw(c.text, '|', c.n, field), c.found);
    EXPECT_EQ(field, c.field);

    std::u16string wfield = u"stale";
    EXPECT_EQ(DaxGetFieldW(DaxAnsiToUnicodeRaw(c.text), u'|', c.n, wfield), c.found);
    EXPECT_EQ(DaxUnicodeToAnsiRaw(wfield), c.field);

    int start = -7, length = -7;
    EXPECT_EQ(DaxLocateField(c.text, '|', c.n, start, length), c.found);
    EXPECT_EQ(start, c.start) << c.text << " " << c.n;
    EXPECT_EQ(length, c.length) << c.text << " " << c.n;
    EXPECT_EQ(DaxLocateFieldW(DaxAnsiToUnicodeRaw(c.text), u'|', c.n, start, length), c.found);
    EXPECT_EQ(start, c.start);
  }
  EXPECT_EQ(DaxFieldCount("a|b|", '|'), 3);
  EXPECT_EQ(DaxFieldCount("", '|'), 0);
  EXPECT_EQ(DaxFieldCount("abc", '|'), 1);
  EXPECT_EQ(DaxFieldCountW(u"||", u'|'), 3);
  EXPECT_EQ(DaxFieldCountW(u"", u'|'), 0);
}

TEST(Types, StrictIntegerParsers) {
  struct {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {
      {" 42", true, 42},
      {"\t\r\n\x01" "42", true, 42},
      {"42 ", false, 0},
      {"4 2", false, 0},
      {"+7", true, 7},
      {"-7", true, -7},
      {"-0", true, 0},
      {"0042", true, 42},
      {"+", false, 0},
      {"-", false, 0},
      {" -", false, 0},
      {"+-1", false, 0},
      {"", false, 0},
      {"   ", false, 0},
      {"2147483647", true, INT32_MAX},
      {"2147483648", false, 0},
      {"-2147483648", true, INT32_MIN},
      {"-2147483649", false, 0},
      {"21474836470", false, 0},
      {"00000000002147483647", true, INT32_MAX},
      {"0x10", false, 0},
      {"1.5", false, 0},
      {"1,000", false, 0},
  };
  for (auto& c : cases) {
    int32_t v = 12345;
    EXPECT_EQ(DaxTryStrToInt(c.text, v), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(v, c.ok ? c.value : 12345) << '"' << c.text << '"';

    v = 12345;
    EXPECT_EQ(DaxTryStrToInt2(c.text, v), c.ok);
    EXPECT_EQ(v, c.ok ? c.value : 12345);

    v = 12345;
    EXPECT_EQ(DaxTryStrToIntW(DaxAnsiToUnicodeRaw(c.text), v), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(v, c.ok ? c.value : 12345);

    v = 12345;
    EXPECT_EQ(DaxTryBufToInt(c.text, static_cast<int>(strlen(c.text)), v), c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : 12345);

    if (c.ok) {
      int64_t v64 = 0;
      EXPECT_TRUE(DaxTryStrToInt64(c.text, v64));
      EXPECT_EQ(v64, c.value);
    }
  }

  // The buffer form stops at its length, not at a NUL.
  int32_t v = 0;
  EXPECT_TRUE(DaxTryBufToInt("12345", 3, v));
  EXPECT_EQ(v, 123);
  EXPECT_FALSE(DaxTryBufToInt("1\0" "2", 3, v));
  EXPECT_FALSE(DaxTryBufToInt("1", 0, v));
  EXPECT_EQ(v, 123);
  // A UTF-16 unit whose low byte is a digit is not a digit.
  EXPECT_FALSE(DaxTryStrToIntW(u"1\u0132", v));

  struct {
    const char* text;
    bool ok;
    int64_t value;
  } wide[] = {
      {"9223372036854775807", true, INT64_MAX},
      {"9223372036854775808", false, 0},
      {"-9223372036854775808", true, INT64_MIN},
      {"-9223372036854775809", false, 0},
      {"-2147483649", true, -2147483649LL},
      {"92233720368547758070", false, 0},
  };
  for (auto& c : wide) {
    int64_t x = 99;
    EXPECT_EQ(DaxTryStrToInt64(c.text, x), c.ok) << c.text;
    EXPECT_EQ(x, c.ok ? c.value : 99) << c.text;
    x = 99;
    EXPECT_EQ(DaxTryStrToInt64W(DaxAnsiToUnicodeRaw(c.text), x), c.ok) << c.text;
    EXPECT_EQ(x, c.ok ? c.value : 99) << c.text;
  }
}

TEST(Types, BooleanWords) {
  struct {
    const char16_t* text;
    bool ok;
    bool value;
  } cases[] = {
      {u"1", true, true},      {u"-5", true, true},    {u"2", true, true},
      {u"yes", true, true},    {u"TRUE", true, true},  {u"oN", true, true},
      {u"t", true, true},      {u"Y", true, true},     {u"0", true, false},
      {u" 0", true, false},    {u"off", true, false},  {u"f", true, false},
      {u"n", true, false},     {u"No", true, false},   {u"false", true, false},
      {u" yes", false, false}, {u"yes ", false, false}, {u"", false, false},
      {u"maybe", false, false}, {u"0x1", false, false}, {u"ja", false, false},
  };
  for (auto& c : cases) {
    bool v = !c.value;
    const bool before = v;
    EXPECT_EQ(DaxTryStrToBoolW(c.text, v), c.ok) << DaxUnicodeToAnsiRaw(c.text);
    EXPECT_EQ(v, c.ok ? c.value : before) << DaxUnicodeToAnsiRaw(c.text);
  }
}

TEST(Types, ParseDigitsWrapsAndRejects) {
  int32_t v = 77;
  const char* text = "123x";
  EXPECT_EQ(DaxParseDigits(text, 3, v), text + 3);
  EXPECT_EQ(v, 123);

  v = 77;
  EXPECT_EQ(DaxParseDigits(text, 0, v), text);
  EXPECT_EQ(v, 77);
  EXPECT_EQ(DaxParseDigits(text, -4, v), text);
  EXPECT_EQ(v, 77);

  // Overflow wraps modulo 2^32 (defined behaviour, checked by UBSan builds).
  const char* big = "4294967297";
  EXPECT_EQ(DaxParseDigits(big, 10, v), big + 10);
  EXPECT_EQ(v, 1);
  DaxParseDigits("99999999999", 11, v);
  EXPECT_EQ(static_cast<uint32_t>(v), static_cast<uint32_t>(99999999999ULL));

  for (const char* bad : {"12a", "-1", " 1", "+1"}) {
    v = 5;
    try {
      DaxParseDigits(bad, static_cast<int>(strlen(bad)), v);
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_STREQ(e.what(), "Not digit character");
      EXPECT_EQ(DaxExceptionText(e), "EConvertError: Not digit character");
    }
  }
}

TEST(Types, IntToBufCapacityAndLayout) {
  struct {
    int32_t value;
    int size;
    bool fits;
    const char* text;
  } cases[] = {
      {5, 1, false, ""},
      {5, 2, false, ""},
      {5, 3, true, "5"},
      {5, 10, true, "5"},
      {-1, 3, false, ""},
      {-1, 4, true, "-1"},
      {12345, 6, false, ""},
      {12345, 7, true, "12345"},
      {INT32_MAX, 11, false, ""},
      {INT32_MAX, 12, true, "2147483647"},
      {INT32_MIN, 11, false, ""},
      {INT32_MIN, 12, true, "-2147483648"},
      {0, 3, true, "0"},
  };
  for (auto& c : cases) {
    std::vector<char> buf(static_cast<size_t>(c.size) + 1, '#');  // one guard byte
    int size = c.size;
    if (!c.fits) {
      EXPECT_THROW(
          {
            try {
              DaxIntToBuf(buf.data(), c.value, size);
            } catch (const Exception& e) {
              EXPECT_STREQ(e.what(), "Buffer too small");
              EXPECT_STREQ(e.ClassName(), "Exception");
              throw;
            }
          },
          Exception)
          << c.value << " in " << c.size;
      continue;
    }
    char* first = DaxIntToBuf(buf.data(), c.value, size);
    EXPECT_EQ(size, static_cast<int>(strlen(c.text)));
    EXPECT_STREQ(first, c.text);
    EXPECT_EQ(first + size, buf.data() + c.size - 1);  // NUL in the last byte
    EXPECT_EQ(buf[static_cast<size_t>(c.size)], '#');
  }
}

TEST(Types, IntToDigitsFixedWidth) {
  struct {
    int32_t value;
    int width;
    const char* text;
  } cases[] = {
      {12345, 3, "345"}, {7, 3, "007"},        {-42, 4, "0042"},
      {0, 2, "00"},      {INT32_MIN, 10, "2147483648"}, {INT32_MIN, 12, "002147483648"},
      {9, 0, ""},        {9, -2, ""},
  };
  for (auto& c : cases) {
    char buf[16];
    memset(buf, '#', sizeof buf);
    char* end = DaxIntToDigits(buf, c.value, c.width);
    EXPECT_EQ(std::string(buf, end), c.text) << c.value << "/" << c.width;
    EXPECT_EQ(*end, '#');
    end = DaxIntToDigits2(buf, c.value, c.width);
    EXPECT_EQ(std::string(buf, end), c.text);

    char16_t wbuf[16];
    char16_t* wend = DaxIntToDigitsW(wbuf, c.value, c.width);
    EXPECT_EQ(DaxUnicodeToAnsiRaw(std::u16string(wbuf, wend)), c.text);
    EXPECT_EQ(DaxUnicodeToAnsiRaw(DaxIntToDigitsStrW(c.value, c.width)), c.text);
  }
}

TEST(Types, Utf8DecodeStopsAtFirstBadSequence) {
  struct {
    std::string bytes;
    std::u16string text;
  } cases[] = {
      {"\x41\xC3\xA9\x42", u"A\u00e9B"},
      {"\x41\xC3\x42", u"A"},
      {"\xE2\x82\xAC!", u"\u20ac!"},
      {"\xF0\x9F\x98\x80z", u"\U0001F600z"},  // surrogate pair
      {"a\xF4\x8F\xBF\xBF", u"a\U0010FFFF"},
      {"a\xF4\x90\x80\x80", u"a"},  // beyond U+10FFFF: no UTF-16 form
      {"\x80\x41", u""},
      {"A\xFF" "B", u"A"},
      {"A\xF8\x88\x80\x80\x80", u"A"},
      {"ab\xF0\x9F\x98", u"ab"},  // input ends inside a sequence
      {"\xE2\x82", u""},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"\xC0\x80", std::u16string(1, u'\0')},  // overlong forms are not checked
      {"\xED\xA0\x80", u"\xD800"},             // nor are surrogate code points
  };
  for (auto& c : cases) {
    std::u16string out = u"stale";
    DaxUtf8DecodeW(out, c.bytes.data(), static_cast<int>(c.bytes.size()));
    EXPECT_EQ(out, c.text) << c.bytes;
    EXPECT_EQ(DaxUtf8DecodeW(c.bytes), c.text);
  }
  std::u16string out = u"stale";
  DaxUtf8DecodeW(out, "abc", 0);
  EXPECT_EQ(out, u"");
  DaxUtf8DecodeW(out, "abc", -1);
  EXPECT_EQ(out, u"");
}

TEST(Types, MemoryHelpers) {
  // Overlapping moves in both directions keep the data.
  char m[] = "abcdefgh";
  DaxMove(m + 2, m, 5);
  EXPECT_STREQ(m, "ababcdeh");
  DaxMove(m, m + 3, 5);
  EXPECT_STREQ(m, "bcdehdeh");
  DaxMove(m, "zz", 0);
  EXPECT_STREQ(m, "bcdehdeh");

  for (int n : {1, 2, 7, 8, 9}) {
    std::string src = std::string("0123456789").substr(0, static_cast<size_t>(n));
    std::string want(src.rbegin(), src.rend());
    std::string dst(static_cast<size_t>(n), '?');
    DaxReverseBytes(dst.data(), src.data(), n);
    EXPECT_EQ(dst, want);
    DaxReverseBytes(src.data(), src.data(), n);  // in place
    EXPECT_EQ(src, want);
  }
  char ov[] = "abcdef";
  DaxReverseBytes(ov + 1, ov, 4);  // overlapping blocks
  EXPECT_STREQ(ov, "adcbaf");

  const unsigned char a[] = {1, 2, 3, 0x01, 9};
  const unsigned char b[] = {1, 2, 3, 0xFF, 0};
  EXPECT_TRUE(DaxSameBytes(a, b, 3));
  EXPECT_FALSE(DaxSameBytes(a, b, 4));
  EXPECT_TRUE(DaxSameBytes(a, b, 0));
  EXPECT_TRUE(DaxSameBytes(a, b, -1));
  EXPECT_EQ(DaxCompareBytes(a, b, 5), 1 - 0xFF);  // bytes compare unsigned
  EXPECT_EQ(DaxCompareBytes(b, a, 5), 0xFF - 1);
  EXPECT_EQ(DaxCompareBytes(a, b, 3), 0);
  EXPECT_EQ(DaxCompareBytes(a, b, -3), 0);
  // The first difference decides, also past the first 8-byte word.
  const std::string p = "0123456789abcdefX", q = "0123456789abcdefA";
  EXPECT_EQ(DaxCompareBytes(p.data(), q.data(), 17), 'X' - 'A');
  EXPECT_EQ(DaxCompareBytes("abcdefgZ" "a", "abcdefgA" "z", 9), 'Z' - 'A');

  const char hay[] = "xxabcabd";
  EXPECT_EQ(DaxIndexByte('c', hay, 8), hay + 4);
  EXPECT_EQ(DaxIndexByte('c', hay, 4), nullptr);
  EXPECT_EQ(DaxIndexByte('x', hay, 0), nullptr);
  EXPECT_EQ(DaxFindBytes(hay, 8, "abd", 3), hay + 5);
  EXPECT_EQ(DaxFindBytes(hay, 8, "ab", 2), hay + 2);
  EXPECT_EQ(DaxFindBytes(hay, 7, "abd", 3), nullptr);  // pattern cut by the end
  EXPECT_EQ(DaxFindBytes(hay, 8, "", 0), nullptr);
  EXPECT_EQ(DaxFindBytes("ab", 2, "abc", 3), nullptr);
  EXPECT_EQ(DaxCountByte(hay, 8, 'x'), 2);
  EXPECT_EQ(DaxCountByte(hay, -8, 'x'), 0);

  // The word helpers work on 16-bit units, also at odd addresses.
  alignas(2) unsigned char words[11] = {0};
  const uint16_t w[] = {7, 0x1234, 7, 0x3412, 7};
  memcpy(words + 1, w, sizeof w);
  EXPECT_EQ(DaxIndexWord(words + 1, 0x3412, 5), words + 7);
  EXPECT_EQ(DaxIndexWord(words + 1, 0x3412, 3), nullptr);
  EXPECT_EQ(DaxCountWord(words + 1, 5, 7), 3);
  EXPECT_EQ(DaxCountWord(words + 1, 0, 7), 0);

  // The zero test reads 8 bytes at a time: a non-zero byte in every position
  // of every length up to 20 is found, at any alignment.
  unsigned char zero[32] = {0};
  for (int off = 0; off < 3; ++off)
    for (int n = 1; n <= 20; ++n) {
      EXPECT_FALSE(DaxIsNonZeroBuffer(zero + off, n));
      for (int k = 0; k < n; ++k) {
        zero[off + k] = 0x80;
        EXPECT_TRUE(DaxIsNonZeroBuffer(zero + off, n)) << off << " " << n << " " << k;
        zero[off + k] = 0;
      }
    }
  zero[0] = 1;
  EXPECT_FALSE(DaxIsNonZeroBuffer(zero, 0));
  EXPECT_FALSE(DaxIsNonZeroBuffer(zero, -1));

  const int16_t s[] = {100, -32768, 5};
  EXPECT_EQ(DaxPeakInt16(s, 3), 32768);
  EXPECT_EQ(DaxPeakInt16(s, 1), 100);
  EXPECT_EQ(DaxPeakInt16(s, 0), 0);
  const int16_t t[] = {-3, 32767, -32767};
  EXPECT_EQ(DaxPeakInt16(t, 3), 32767);
}

}  // namespace
