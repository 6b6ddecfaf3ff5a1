// The runner's text helpers: the level bar and network texts made safe for
// one log line.
#include "app/run.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(RunTexts, LevelBar) {
  EXPECT_EQ(VekLevelBarText(16384, 10), u"  16384  |XXXXX     |");
  EXPECT_EQ(VekLevelBarText(0, 2), u"      0  |  |");
  EXPECT_EQ(VekLevelBarText(32767, 3), u"  32767  |XXX|");
  // A wide bar of a full level: no 32-bit overflow, never more than width.
  const std::u16string wide = VekLevelBarText(32767, 200000);
  EXPECT_EQ(wide.size(), 7u + 3u + 200000u + 1u);
  // (32767 * 200000 + 16384) / 32768
  EXPECT_EQ(std::count(wide.begin(), wide.end(), u'X'), 199994);
  // A level word beyond the range still fills the bar only.
  EXPECT_EQ(VekLevelBarText(70000, 4), u"  70000  |XXXX|");
}

TEST(RunTexts, NetworkTextsLoseTheirControlCharacters) {
  EXPECT_EQ(VekSafeNetText(u"a\tb"), u"a\tb");
  EXPECT_EQ(VekSafeNetText(u"line\r\n2026-01-01 00:00:00.000: Forged"),
            u"line??2026-01-01 00:00:00.000: Forged");
  EXPECT_EQ(VekSafeNetText(std::u16string(u"\x1b[2J\x7f\x85\x2028")), u"?[2J???");
  EXPECT_EQ(VekSafeNetText(u"Привет"), u"Привет");
}

}  // namespace
