#include "foundation/charset.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "foundation/ansi_unicode_converter.h"
#include "foundation/types.h"
#include "support/test_files.h"

extern char** environ;

namespace {

// Runs the iconv command on `input`; nullopt when it reports an error.
std::optional<std::string> IconvCommand(const std::string& from, const std::string& to,
                                        const std::string& input) {
  vektest::TempDir dir;
  if (dir.path().empty()) return std::nullopt;
  const std::string in = dir / "in", out = dir / "out";
  vektest::WriteFile(in, input);
  const std::string cmd =
      "iconv -f " + from + " -t " + to + " " + in + " >" + out + " 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  return vektest::ReadFile(out);
}

std::u16string FromUtf16Le(const std::string& b) {
  std::u16string r(b.size() / 2, u'\0');
  for (size_t i = 0; i < r.size(); ++i)
    r[i] = static_cast<char16_t>(static_cast<unsigned char>(b[2 * i]) |
                                 (static_cast<unsigned char>(b[2 * i + 1]) << 8));
  return r;
}

// Saves and restores the variables a test changes.
class EnvGuard {
 public:
  explicit EnvGuard(std::vector<std::string> names) : names_(std::move(names)) {
    for (auto& n : names_) {
      const char* v = getenv(n.c_str());
      saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
    }
  }
  ~EnvGuard() {
    for (size_t i = 0; i < names_.size(); ++i) {
      if (saved_[i])
        setenv(names_[i].c_str(), saved_[i]->c_str(), 1);
      else
        unsetenv(names_[i].c_str());
    }
    DaxInitSystemCharset();
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::optional<std::string>> saved_;
};

TEST(Charset, SystemCharsetFromEnvironment) {
  EnvGuard guard({"LANG", "MM_CHARSET"});
  struct {
    const char* lang;  // nullptr: unset
    const char* mm;
    const char* charset;
  } cases[] = {
      {"ru_RU.KOI8-R", nullptr, "KOI8-R"},
      {nullptr, "CP1251", "CP1251"},
      {"", "be_BY.cp1251", "cp1251"},  // not upper-cased here
      {"C", "CP1251", "C"},
      {nullptr, nullptr, "UTF-8"},
      {"de_DE.UTF-8@euro", nullptr, "UTF-8"},
      {"sr_RS@latin", nullptr, "sr_RS"},
      {"x.a.b", nullptr, "a.b"},
      {"en_US.", nullptr, "UTF-8"},
  };
  for (auto& c : cases) {
    if (c.lang)
      setenv("LANG", c.lang, 1);
    else
      unsetenv("LANG");
    if (c.mm)
      setenv("MM_CHARSET", c.mm, 1);
    else
      unsetenv("MM_CHARSET");
    DaxInitSystemCharset();
    EXPECT_EQ(DaxSystemCharset, c.charset) << (c.lang ? c.lang : "-") << " " << (c.mm ? c.mm : "-");
  }

  DaxSystemCharset = "UTF-8";
  DaxSetSystemCharset(u"koi8-r");
  EXPECT_EQ(DaxSystemCharset, "KOI8-R");
  DaxSetSystemCharset(u"no-such-charset");
  EXPECT_EQ(DaxSystemCharset, "KOI8-R");
  EXPECT_EQ(DaxUnicodeToSys(u"\u0416"), "\xf6");
  EXPECT_EQ(DaxHookUnicodeToSys(u"\u0416"), "\xf6");
  EXPECT_EQ(DaxHookSysToUnicode("\xf6"), u"\u0416");

  // A system charset iconv does not know falls back on every call.
  DaxSystemCharset = "C";
  EXPECT_EQ(DaxUnicodeToSys(u"a\u00e9\u0416"), "a\xe9?");
  EXPECT_EQ(DaxSysToUnicodeProc("a\xe9"), u"a\u00e9");
}

TEST(Charset, HooksStartAsTheDefaults) {
  EXPECT_EQ(DaxHookAnsiToSys, &DaxAnsiToSysCopy);
  EXPECT_EQ(DaxHookSysToUnicode, &DaxSysToUnicodeProc);
  EXPECT_EQ(DaxHookUnicodeToSys, &DaxUnicodeToSysProc);
  EXPECT_EQ(DaxHookSysToAnsi, &DaxSysToAnsiCopy);
  EXPECT_EQ(DaxHookAnsiToSys("\xff x"), "\xff x");
  EXPECT_EQ(DaxHookSysToAnsi("\xff x"), "\xff x");
}

TEST(Charset, EnvironmentLookup) {
  std::string long_entry = "VEK_LONG=" + std::string(300, 'v');
  const char* entries[] = {"PATH=/bin", "NOEQUALS", "http_proxy=first", "HTTP_PROXY=second",
                           "X==y",      "Empty=",   long_entry.c_str(), nullptr};
  char** saved = environ;
  environ = const_cast<char**>(entries);
  const std::string proxy = DaxGetEnvValue("Http_Proxy");
  const std::string x = DaxGetEnvValue("x");
  const std::string noeq = DaxGetEnvValue("NOEQUALS");
  const std::string empty = DaxGetEnvValue("EMPTY");
  const std::string absent = DaxGetEnvValue("ABSENT");
  const std::string longv = DaxGetEnvValue("vek_long");
  const int count = DaxEnvCount();
  const std::string e2 = DaxEnvEntry(2), e0 = DaxEnvEntry(0), e8 = DaxEnvEntry(8);
  const std::string e7 = DaxEnvEntry(7);
  environ = saved;

  EXPECT_EQ(proxy, "first");
  EXPECT_EQ(x, "=y");
  EXPECT_EQ(noeq, "");
  EXPECT_EQ(empty, "");
  EXPECT_EQ(absent, "");
  EXPECT_EQ(longv, std::string(255 - 9, 'v'));  // entries are read as 255 characters
  EXPECT_EQ(count, 7);
  EXPECT_EQ(e2, "NOEQUALS");
  EXPECT_EQ(e0, "");
  EXPECT_EQ(e8, "");
  EXPECT_EQ(e7.size(), 255u);
}

// Samples that use most of each charset's upper half.
struct Sample {
  const char* charset;
  const char* utf8;
};
const Sample kSamples[] = {
    {"CP1251", "Съешь же ещё этих мягких французских булок, да выпей чаю. «№ 5» — €"},
    {"KOI8-R", "Съешь же ещё этих мягких французских булок, да выпей чаю. ЁЪ ─│┼"},
    {"CP866", "Съешь же ещё этих мягких французских булок, да выпей чаю. ░▒▓█ √№"},
    {"ISO-8859-15", "Œuvre déjà vue: 5 € für Ärger, Šárka, Žofie, Ÿ, œ £ ©"},
};

TEST(Charset, ConversionsAgreeWithIconvCommand) {
  for (const auto& s : kSamples) {
    auto bytes = IconvCommand("UTF-8", s.charset, s.utf8);
    ASSERT_TRUE(bytes) << s.charset;
    auto units = IconvCommand("UTF-8", "UTF-16LE", s.utf8);
    ASSERT_TRUE(units);
    const std::u16string text = FromUtf16Le(*units);

    EXPECT_EQ(DaxUtf8ToUnicode(s.utf8), text);
    EXPECT_EQ(DaxUnicodeToUtf8(text), s.utf8);

    std::string narrow;
    EXPECT_EQ(DaxUnicodeToCharset(text, narrow, s.charset), 0);
    EXPECT_EQ(narrow, *bytes) << s.charset;
    std::u16string wide;
    EXPECT_EQ(DaxCharsetToUnicode(*bytes, wide, s.charset), 0);
    EXPECT_EQ(wide, text) << s.charset;

    TAnsiUnicodeConverter conv;
    conv.SetCharset(DaxAnsiToUnicodeRaw(s.charset));
    EXPECT_EQ(conv.UnicodeToAnsi(text), *bytes) << s.charset;
    EXPECT_EQ(conv.AnsiToUnicode(*bytes), text) << s.charset;
    // Repeated use of the same descriptors gives the same result.
    EXPECT_EQ(conv.AnsiToUnicode(*bytes), text) << s.charset;
  }

  // Every byte of the fully defined single-byte charsets.
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (const char* cs : {"KOI8-R", "CP866", "ISO-8859-15"}) {
    auto units = IconvCommand(cs, "UTF-16LE", all);
    ASSERT_TRUE(units) << cs;
    std::u16string wide;
    EXPECT_EQ(DaxCharsetToUnicode(all, wide, cs), 0);
    EXPECT_EQ(wide, FromUtf16Le(*units)) << cs;
    std::string back;
    EXPECT_EQ(DaxUnicodeToCharset(wide, back, cs), 0);
    EXPECT_EQ(back, all) << cs;
  }
}

TEST(Charset, FailureRules) {
  // Towards a charset: one "?" per unit it cannot hold. UNICODELITTLE is UCS-2
  // here, so a surrogate pair is two units that fail.
  struct {
    const char16_t* text;
    const char* charset;
    std::string bytes;
  } narrow[] = {
      {u"a\u0416\u4e2db", "CP1251", "a\xc6?b"},
      {u"\U0001F600", "CP1251", "??"},
      {u"x\U0001F600", "UTF-8", "x??"},
      {u"\xd800z", "UTF-8", "?z"},
      {u"\u0416\u0416\u0416", "ISO-8859-15", "???"},
      {u"\u20ac", "ISO-8859-15", "\xa4"},
  };
  for (auto& c : narrow) {
    std::string r;
    EXPECT_EQ(DaxUnicodeToCharset(c.text, r, c.charset), 0);
    EXPECT_EQ(r, c.bytes) << c.charset;
  }
  EXPECT_EQ(DaxUnicodeToUtf8(u"x\U0001F600"), "x??");

  // Towards UTF-16: invalid input fails as a whole; the UTF-8 reader then
  // widens the whole input byte for character.
  struct {
    std::string bytes;
    const char* charset;
  } bad[] = {
      {"a\xff" "b\xc3\xa9", "UTF-8"},   // stray byte
      {"ok\xc3", "UTF-8"},             // ends inside a sequence
      {"\xf0\x9f\x98\x80", "UTF-8"},   // beyond UCS-2
      {"\xc0\xaf", "UTF-8"},           // overlong
      {"ab\x98", "CP1251"},            // undefined in the charset
  };
  for (auto& c : bad) {
    std::u16string r;
    EXPECT_NE(DaxCharsetToUnicode(c.bytes, r, c.charset), 0) << c.bytes;
    if (std::string(c.charset) == "UTF-8") {
      EXPECT_EQ(DaxUtf8ToUnicode(c.bytes), DaxAnsiToUnicodeRaw(c.bytes));
      EXPECT_EQ(DaxUtf8BufToUnicode(c.bytes.data(), static_cast<int>(c.bytes.size())),
                DaxAnsiToUnicodeRaw(c.bytes));
    }
    TAnsiUnicodeConverter conv;
    conv.SetCharset(DaxAnsiToUnicodeRaw(c.charset));
    EXPECT_EQ(conv.AnsiToUnicode(c.bytes), DaxAnsiToUnicodeRaw(c.bytes)) << c.bytes;
  }

  // A charset iconv refuses: the code is non-zero and the result the fallback.
  std::string n;
  EXPECT_NE(DaxUnicodeToCharset(u"a\u0416\u00e9", n, "NO-SUCH-CHARSET"), 0);
  EXPECT_EQ(n, "a?\xe9");
  std::u16string w;
  EXPECT_NE(DaxCharsetToUnicode("a\xe9", w, "NO-SUCH-CHARSET"), 0);
  EXPECT_EQ(w, u"a\u00e9");

  // Empty text is empty in every direction.
  EXPECT_EQ(DaxUtf8ToUnicode(""), u"");
  EXPECT_EQ(DaxUtf8BufToUnicode("x", 0), u"");
  EXPECT_EQ(DaxUnicodeToUtf8(u""), "");
  EXPECT_EQ(DaxUnicodeToSys(u""), "");
  EXPECT_EQ(DaxSysToUnicodeProc(""), u"");
  n = "stale";
  EXPECT_EQ(DaxUnicodeToCharset(u"", n, "CP1251"), 0);
  EXPECT_EQ(n, "");
  w = u"stale";
  EXPECT_EQ(DaxCharsetToUnicode("", w, "CP1251"), 0);
  EXPECT_EQ(w, u"");

  // Large input in one piece.
  std::u16string big(100000, u'\u0436');
  std::string big8;
  EXPECT_EQ(DaxUnicodeToCharset(big, big8, "KOI8-R"), 0);
  EXPECT_EQ(big8, std::string(100000, '\xd6'));
  EXPECT_EQ(DaxUtf8ToUnicode(DaxUnicodeToUtf8(big)), big);
}

TEST(Converter, NameHandlingAndHandles) {
  TAnsiUnicodeConverter conv;
  EXPECT_EQ(conv.GetSelf(nullptr), &conv);
  // Before a charset is set: the fallbacks, and empty stays empty.
  EXPECT_EQ(conv.CharsetName(), "");
  EXPECT_FALSE(conv.HandlesOpen());
  EXPECT_EQ(conv.UnicodeToAnsi(u"\u00e9\u0416"), "\xe9?");
  EXPECT_EQ(conv.AnsiToUnicode("\xe9"), u"\u00e9");
  EXPECT_EQ(conv.AnsiToUnicode(""), u"");
  EXPECT_EQ(conv.BufToUnicode("abc", 0), u"");
  EXPECT_EQ(conv.BufToUnicode("abc", -1), u"");
  EXPECT_EQ(conv.UnicodeToAnsi(u""), "");

  conv.SetCharset(u"cp1251");
  ASSERT_TRUE(conv.HandlesOpen());
  const iconv_t to = conv.ToHandle(), from = conv.FromHandle();
  conv.SetCharset(u"CP1251");  // same name: the handles stay
  EXPECT_EQ(conv.ToHandle(), to);
  EXPECT_EQ(conv.FromHandle(), from);
  EXPECT_EQ(conv.CharsetName(), "CP1251");
  EXPECT_EQ(conv.UnicodeToAnsi(u"\u0416"), "\xc6");

  conv.SetCharset(u" \u3000utf-8\t ");
  EXPECT_EQ(conv.CharsetName(), "UTF-8");
  EXPECT_EQ(conv.UnicodeToAnsi(u"\u00e9"), "\xc3\xa9");
  EXPECT_EQ(conv.BufToUnicode("\xc3\xa9zz", 2), u"\u00e9");

  // BIN: bytes as characters both ways, no descriptors.
  conv.SetCharset(u"bin");
  EXPECT_TRUE(conv.ByteMode());
  EXPECT_FALSE(conv.HandlesOpen());
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::u16string wide = conv.AnsiToUnicode(all);
  EXPECT_EQ(wide, DaxAnsiToUnicodeRaw(all));
  EXPECT_EQ(conv.UnicodeToAnsi(wide), all);
  EXPECT_EQ(conv.UnicodeToAnsi(u"\u0416"), "?");

  conv.SetCharset(u"koi8-r");
  EXPECT_FALSE(conv.ByteMode());
  EXPECT_EQ(conv.AnsiToUnicode("\xf6"), u"\u0416");
}

TEST(Converter, UnknownNameRaisesAndFallsBack) {
  TAnsiUnicodeConverter conv;
  conv.SetCharset(u"CP1251");
  try {
    conv.SetCharset(u" no-such \u0416");
    ADD_FAILURE();
  } catch (const EAnsiUnicodeConverterError& e) {
    EXPECT_STREQ(e.ClassName(), "EAnsiUnicodeConverterInvalidCharsetName");
    // The name as the caller gave it, narrowed.
    EXPECT_EQ(e.Message(), "Invalid or unknown charset name:  no-such \x16");
  }
  EXPECT_EQ(conv.CharsetName(), "NO-SUCH \x16");
  EXPECT_FALSE(conv.HandlesOpen());
  EXPECT_EQ(conv.UnicodeToAnsi(u"\u0416a"), "?a");
  EXPECT_EQ(conv.AnsiToUnicode("\xc6"), u"\u00c6");
  EXPECT_NO_THROW(conv.SetCharset(u"no-such \u0416"));

  EXPECT_THROW(DaxRaiseInvalidCharsetName(u"x"), EAnsiUnicodeConverterInvalidCharsetName);
  // A good name afterwards recovers.
  conv.SetCharset(u"CP866");
  EXPECT_EQ(conv.UnicodeToAnsi(u"\u0416"), "\x86");
}

}  // namespace
