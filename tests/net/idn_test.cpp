#include "net/idn.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <punycode.h>

#include <cstring>
#include <random>
#include <vector>

#include "foundation/wire_text.h"

namespace {

std::string MyEncode(const std::u16string& s) {
  std::size_t len = 0;
  EXPECT_EQ(DaxPunycodeEncode(s.data(), s.size(), nullptr, &len, nullptr), DAX_PUNYCODE_SUCCESS);
  std::string out(len, '\0');
  EXPECT_EQ(DaxPunycodeEncode(s.data(), s.size(), nullptr, &len, out.data()), DAX_PUNYCODE_SUCCESS);
  out.resize(len);
  return out;
}

std::string IdnEncode(const std::u16string& s) {
  std::vector<punycode_uint> in(s.begin(), s.end());
  std::vector<char> out(s.size() * 8 + 16);
  std::size_t len = out.size();
  EXPECT_EQ(punycode_encode(in.size(), in.data(), nullptr, &len, out.data()), PUNYCODE_SUCCESS);
  return std::string(out.data(), len);
}

std::u16string IdnDecode(const std::string& s) {
  std::vector<punycode_uint> out(s.size() + 1);
  std::size_t len = out.size();
  EXPECT_EQ(punycode_decode(s.size(), s.data(), &len, out.data(), nullptr), PUNYCODE_SUCCESS);
  return std::u16string(out.begin(), out.begin() + static_cast<long>(len));
}

std::u16string MyDecode(const std::string& s, int* rc = nullptr) {
  std::size_t len = 0;
  int r = DaxPunycodeDecode(s.data(), s.size(), &len, nullptr, nullptr);
  std::u16string out;
  if (r == DAX_PUNYCODE_SUCCESS) {
    out.resize(len);
    r = DaxPunycodeDecode(s.data(), s.size(), &len, out.data(), nullptr);
    out.resize(len);
  }
  if (rc) *rc = r;
  else EXPECT_EQ(r, DAX_PUNYCODE_SUCCESS) << s;
  return out;
}

struct Sample {
  std::u16string unicode;
  const char* punycode;
};

// The sample strings of the bootstring RFC.
const Sample kSamples[] = {
    {u"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F",
     "egbpdaj6bu4bxfgehfvwxn"},
    {u"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
    {u"\u4ED6\u5011\u7232\u4EC0\u9EBD\u4E0D\u8AAA\u4E2D\u6587", "ihqwctvzc91f659drss3x8bo0yb"},
    {u"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
    {u"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {u"Maji\u3067Koi\u3059\u308B5\u79D2\u524D", "MajiKoi5-783gue6qz075azm5e"},
    {u"\u305D\u306E\u30B9\u30D4\u30FC\u30C9\u3067", "d9juau41awczczp"},
    {u"-> $1.00 <-", "-> $1.00 <--"},
};

TEST(Punycode, RfcSamplesBothWays) {
  for (const Sample& s : kSamples) {
    EXPECT_EQ(MyEncode(s.unicode), s.punycode);
    EXPECT_EQ(IdnEncode(s.unicode), s.punycode);
    EXPECT_EQ(MyDecode(s.punycode), s.unicode) << s.punycode;
  }
}

TEST(Punycode, RandomLabelsAgreeWithTheReference) {
  std::mt19937 rng(4711);
  for (int round = 0; round < 2000; ++round) {
    std::u16string label;
    const int n = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) {
      switch (rng() % 4) {
        case 0: label += static_cast<char16_t>('a' + rng() % 26); break;
        case 1: label += static_cast<char16_t>(0x80 + rng() % 0x200); break;
        case 2: label += static_cast<char16_t>(0x400 + rng() % 0x100); break;
        default: {
          // The reference refuses surrogate code points; ours takes them as units.
          char16_t u = static_cast<char16_t>(1 + rng() % 0xFFFF);
          if (u >= 0xD800 && u <= 0xDFFF) u = static_cast<char16_t>(u - 0x1000);
          label += u;
          break;
        }
      }
    }
    const std::string mine = MyEncode(label);
    ASSERT_EQ(mine, IdnEncode(label)) << round;
    ASSERT_EQ(MyDecode(mine), label) << round;
    ASSERT_EQ(IdnDecode(mine), label) << round;
  }
}

TEST(Punycode, BadInputAndSmallOutput) {
  int rc = 0;
  MyDecode("ab\xC3", &rc);  // no delimiter: all digits, and 0xC3 is none
  EXPECT_EQ(rc, DAX_PUNYCODE_BAD_INPUT);
  MyDecode("\xC3-abc", &rc);
  EXPECT_EQ(rc, DAX_PUNYCODE_BAD_INPUT);
  MyDecode("99999999999999", &rc);
  EXPECT_EQ(rc, DAX_PUNYCODE_OVERFLOW);
  const std::u16string s = kSamples[1].unicode;
  char small[4];
  std::size_t len = sizeof small;
  EXPECT_EQ(DaxPunycodeEncode(s.data(), s.size(), nullptr, &len, small), DAX_PUNYCODE_BIG_OUTPUT);
  char16_t tiny[2];
  len = 2;
  EXPECT_EQ(DaxPunycodeDecode(kSamples[1].punycode, std::strlen(kSamples[1].punycode), &len, tiny, nullptr),
            DAX_PUNYCODE_BIG_OUTPUT);
}

TEST(HostNames, ToAsciiAndBack) {
  struct Case {
    std::u16string unicode;
    std::string ascii;
  };
  const Case cases[] = {
      {u"vek.example.com", "vek.example.com"},
      {u"b\u00FCcher.example", "xn--bcher-kva.example"},
      {u"B\u00FCcher.example", "xn--Bcher-kva.example"},  // case is kept
      {u"a..b", "a..b"},                                  // an empty middle label stays empty
      {u"host.", "host."},
      {u"\u043F\u0440\u0438\u043C\u0435\u0440.\u0440\u0444", "xn--e1afmkfd.xn--p1ai"},
      {u"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DaxHostToAscii(c.unicode), c.ascii);
    EXPECT_EQ(DaxHostToUnicode(c.ascii), c.unicode) << c.ascii;
  }
  // Not decoded: an upper-case prefix, a bare prefix, an undecodable label.
  for (const char* kept : {"XN--bcher-kva.example", "xn--.example", "xn--\xFF\xFE"}) {
    std::u16string widened;
    for (unsigned char ch : std::string(kept)) widened += static_cast<char16_t>(ch);
    EXPECT_EQ(DaxHostToUnicode(kept), widened) << kept;
  }
}

TEST(AddressTexts, IPv4AgainstInetPton) {
  struct Case {
    const char* text;
    bool ipv4;
    bool samePton;  // the test also allows blanks and leading zeros
  };
  const Case cases[] = {
      {"192.168.0.1", true, true}, {"0.0.0.0", true, true},    {"255.255.255.255", true, true},
      {"256.1.1.1", false, true},  {"1.2.3", false, true},     {"1.2.3.4.5", false, true},
      {"1.2.3.a", false, true},    {"", false, true},          {"1..2.3", false, true},
      {"1.2.3.4 ", true, false},   {" 1 . 2 . 3 . 4", true, false}, {"1.2.3.-4", false, true},
      {"99999999999.1.1.1", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VekIsIPv4Text(c.text), c.ipv4) << c.text;
    in_addr a;
    if (c.samePton) {
      EXPECT_EQ(inet_pton(AF_INET, c.text, &a) == 1, c.ipv4) << c.text;
    }
    if (c.ipv4 && c.samePton) {
      const auto b = VekIPv4ToBytes(c.text);
      EXPECT_EQ(std::memcmp(b.data(), &a, 4), 0) << c.text;
    }
  }
  EXPECT_EQ(VekIPv4ToBytes("10.0.0.1"), (std::array<std::uint8_t, 4>{0x0A, 0, 0, 1}));
}

TEST(AddressTexts, IPv6AgainstInetPton) {
  struct Case {
    const char* text;
    bool ipv6;
    bool samePton;
  };
  const Case cases[] = {
      {"::1", true, true},
      {"::", true, true},
      {"1::", true, true},
      {"1:2:3:4:5:6:7:8", true, true},
      {"fe80::0202:b3ff:fe1e:8329", true, true},
      {"2001:db8::ff00:42:8329", true, true},
      {"fe80::1%1", true, false},  // a numeric zone is allowed here
      {"1::2::3", false, true},
      {"12345::", false, true},
      {"1:2:3:4:5:6:7", false, true},
      {"1:2:3:4:5:6:7:8:9", false, true},
      {":1", false, true},
      {"1:", false, true},
      {"1:2:", false, true},
      {":::1", false, true},
      {"g::1", false, true},
      {"1234", false, true},
      {"", false, true},
      {"1.2.3.4", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VekIsIPv6Text(std::string(c.text)), c.ipv6) << c.text;
    in6_addr a;
    if (c.samePton) {
      EXPECT_EQ(inet_pton(AF_INET6, c.text, &a) == 1, c.ipv6) << c.text;
    }
    if (c.ipv6 && c.samePton) {
      const auto b = VekIPv6ToBytes(c.text);
      EXPECT_EQ(std::memcmp(b.data(), &a, 16), 0) << c.text;
      EXPECT_EQ(VekCountChar(VekExpandIPv6(c.text), ':'), 7) << c.text;
    }
  }
  EXPECT_TRUE(VekIsIPv6Text(std::u16string(u"fe80::1")));
  EXPECT_EQ(VekExpandIPv6("::1"), "0:0:0:0:0:0:0:1");
  EXPECT_EQ(VekExpandIPv6("1::"), "1:0:0:0:0:0:0:0");
}

TEST(AddressTexts, IPv6BytesToTextReadsBack) {
  std::mt19937 rng(7);
  for (int round = 0; round < 500; ++round) {
    std::array<std::uint8_t, 16> b{};
    for (auto& x : b) x = rng() % 3 ? 0 : static_cast<std::uint8_t>(rng());
    const std::string text = VekIPv6BytesToText(b);
    in6_addr a;
    ASSERT_EQ(inet_pton(AF_INET6, text.c_str(), &a), 1) << text;
    ASSERT_EQ(std::memcmp(&a, b.data(), 16), 0) << text;
    ASSERT_EQ(VekIPv6ToBytes(text), b) << text;
  }
}

}  // namespace
