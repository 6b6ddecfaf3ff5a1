#include "engine/cli_dtmf.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::u16string> Texts(const std::u16string& config) {
  TVEKCLIDtmfCommands commands;
  VekParseDtmfCommands(config, commands);
  std::vector<std::u16string> out;
  for (const auto& c : commands) out.push_back(VekDtmfCommandToText(c));
  return out;
}

TEST(DtmfTable, ParsesEveryKindWithItsArguments) {
  TVEKCLIDtmfCommands commands;
  VekParseDtmfCommands(u"12:R; 34:NET:Region ; 5:EXEC:opengate ; 6:C:otherhost:10024:Main",
                       commands);
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0].Kind, VEK_DTMF_CMD_RESET);
  EXPECT_EQ(commands[1].Network, u"Region");
  EXPECT_EQ(commands[2].CommandLine, u"opengate");
  EXPECT_EQ(commands[3].Host, u"otherhost");
  EXPECT_EQ(commands[3].Port, 10024);
  EXPECT_EQ(commands[3].Network, u"Main");
  EXPECT_EQ(Texts(u"12:R; 34:NET:Region ; 5:EXEC:opengate ; 6:C:otherhost:10024:Main"),
            (std::vector<std::u16string>{u"12:RESET", u"34:NETWORK:Region", u"5:EXECUTE:opengate",
                                         u"6:CONNECT:otherhost:10024:Main"}));
}

TEST(DtmfTable, SkipsBadAndOverlappingEntries) {
  struct Case {
    const char16_t* config;
    std::vector<std::u16string> texts;
  } cases[] = {
      // No code may be part of another, whichever comes first.
      {u"1:R;12:N:X", {u"1:RESET"}},
      {u"23:R;123:R", {u"23:RESET"}},
      {u"123:R;2:R;45:R", {u"123:RESET", u"45:RESET"}},
      // Ports out of range, unknown keyword, missing or empty arguments.
      {u"7:CONNECT:otherhost:0:Net", {}},
      {u"7:CONNECT:otherhost:70000:Net", {}},
      {u"7:CONNECT:otherhost:x:Net", {}},
      {u"7:CONNECT:otherhost:10024", {}},
      {u"7:CONNECT::10024:Net", {}},
      {u"7:FOO", {}},
      {u"7:N", {}},
      {u"7:EXEC: ", {}},
      {u":R", {}},
      {u"7", {}},
      // Empty entries and extra fields are harmless; keywords and codes ignore case.
      {u";;  ;*:R;", {u"*:RESET"}},
      {u"#a:res:extra", {u"#A:RESET"}},
      {u"9:network:N1:ignored", {u"9:NETWORK:N1"}},
      // A skipped entry does not block a later one with the same code.
      {u"5:FOO;5:R", {u"5:RESET"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Texts(c.config), c.texts) << std::string(c.config, c.config + std::char_traits<char16_t>::length(c.config));
}

TEST(DtmfTable, KeywordsAndInvalidKind) {
  uint8_t kind = 99;
  for (auto [text, want] : {std::pair{u"RESET", 0}, {u"r", 0}, {u"Res", 0}, {u"NETWORK", 1},
                            {u"net", 1}, {u"N", 1}, {u"execute", 2}, {u"EXEC", 2}, {u"e", 2},
                            {u"CONNECT", 3}, {u"conn", 3}, {u"c", 3}}) {
    ASSERT_TRUE(VekDtmfKindFromText(text, kind));
    EXPECT_EQ(kind, want);
  }
  kind = 2;
  EXPECT_FALSE(VekDtmfKindFromText(u"RESETX", kind));
  EXPECT_FALSE(VekDtmfKindFromText(u"", kind));
  EXPECT_EQ(kind, 2);

  TVEKCLIDtmfCommand bad;
  bad.Code = "1";
  bad.Kind = 4;
  try {
    VekDtmfCommandToText(bad);
    FAIL() << "no exception";
  } catch (const EInvalidDTMFCommandCode& e) {
    EXPECT_STREQ(e.what(), "Invalid DTMF command code");
    EXPECT_STREQ(e.ClassName(), "EInvalidDTMFCommandCode");
  }
}

TEST(DtmfTable, CodeBeyondLatin1NeverLooksLikeADigit) {
  // U+0131 has the low byte of "1": it must not become the code "1".
  TVEKCLIDtmfCommands commands;
  VekParseDtmfCommands(u"\u0131:R;1:R", commands);
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].Code, "?");
  EXPECT_EQ(commands[1].Code, "1");
}

}  // namespace
