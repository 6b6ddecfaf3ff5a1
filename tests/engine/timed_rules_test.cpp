#include "engine/timed_rules.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/charset.h"
#include "foundation/hex.h"
#include "support/test_files.h"

namespace {

using vektest::TempDir;
using vektest::WriteFile;

TDaxDateTime At(int y, int mo, int d, int h, int mi, int s, int ms) { return {y, mo, d, h, mi, s, ms}; }

std::string Text(const TDaxDateTime& t) {
  char b[40];
  snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.Year, t.Month, t.Day, t.Hour, t.Minute,
           t.Second, t.Millisecond);
  return b;
}

TEST(TimedRules, LocalTimeMillisecondsRoundTrip) {
  for (const TDaxDateTime& t : {At(2024, 2, 29, 23, 59, 59, 999), At(1969, 12, 31, 0, 0, 0, 1),
                                At(2000, 3, 1, 12, 30, 0, 0), At(2026, 12, 31, 23, 0, 0, 0)})
    EXPECT_EQ(Text(VekLocalFromMs(VekLocalToMs(t))), Text(t));
  EXPECT_EQ(VekLocalToMs(At(2024, 3, 1, 0, 0, 0, 0)) - VekLocalToMs(At(2024, 2, 28, 0, 0, 0, 0)),
            2 * 86400000LL);
}

TEST(TimedRules, HourSlotWithCorrection) {
  struct Case {
    TDaxDateTime now;
    int32_t correction, interval;
    int32_t slot;
    std::string start;
    int64_t since;
  } cases[] = {
      {At(2026, 5, 4, 10, 59, 59, 900), 0, 60, 10, "2026-05-04 10:00:00.000", 3599900},
      {At(2026, 5, 4, 11, 0, 0, 100), 0, 60, 11, "2026-05-04 11:00:00.000", 100},
      // A positive correction reaches the boundary later ...
      {At(2026, 5, 4, 11, 0, 0, 400), 500, 60, 10, "2026-05-04 10:00:00.000", 3599900},
      // ... a negative one (the keying delay) earlier.
      {At(2026, 5, 4, 10, 59, 59, 800), -300, 60, 11, "2026-05-04 11:00:00.000", 100},
      // Shifted back over midnight and the year.
      {At(2027, 1, 1, 0, 0, 0, 100), 200, 60, 23, "2026-12-31 23:00:00.000", 3599900},
      {At(2026, 5, 4, 10, 47, 3, 0), 0, 15, 43, "2026-05-04 10:45:00.000", 123000},
      {At(2026, 5, 4, 13, 10, 0, 0), 0, 120, 6, "2026-05-04 12:00:00.000", 4200000},
  };
  for (const Case& c : cases) {
    const TVEKHourSlot s = VekHourSlotAt(c.now, c.correction, c.interval);
    EXPECT_EQ(s.Slot, c.slot) << Text(c.now);
    EXPECT_EQ(Text(s.Start), c.start) << Text(c.now);
    EXPECT_EQ(s.SinceStartMs, c.since) << Text(c.now);
  }
}

TEST(TimedRules, GuardCoversTheLastSecondsBeforeTheNextSlot) {
  const auto guard = [](int mi, int s, int ms) {
    return VekInHourGuard(VekHourSlotAt(At(2026, 5, 4, 10, mi, s, ms), 0, 60), 3600, 120);
  };
  EXPECT_FALSE(guard(57, 59, 999));
  EXPECT_FALSE(guard(58, 0, 0));
  EXPECT_TRUE(guard(58, 0, 1));
  EXPECT_TRUE(guard(59, 59, 999));
  EXPECT_FALSE(guard(0, 0, 100));
}

TEST(TimedRules, AnnouncedHourIsNotReplayedUnlessItsLocalTimeCameRoundAgain) {
  const int64_t eleven = VekLocalToMs(At(2026, 5, 4, 11, 0, 0, 0));
  const TVEKAnnouncedHour last{true, eleven, 0xFFFFF000u};  // the tick wraps in the cases below
  struct Case {
    const char* what;
    TVEKAnnouncedHour last;
    int64_t start_ms;
    uint32_t ticks_later;
    bool is_new;
  } cases[] = {
      {"nothing announced yet", {}, eleven, 0, true},
      {"the next slot", last, eleven + 3600000, 3600000, true},
      {"clock stepped back 4 s", last, eleven, 4000, false},
      {"just under half an interval later", last, eleven, 1799999, false},
      {"half an interval later", last, eleven, 1800000, true},
      {"summer time ended", last, eleven, 3600000, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(VekHourSlotIsNew(c.last, c.start_ms, last.Tick + c.ticks_later, 3600), c.is_new) << c.what;
}

TEST(TimedRules, HourFileNameAndClamps) {
  EXPECT_EQ(VekHourFileName(9, 5, false), u"09_05");
  EXPECT_EQ(VekHourFileName(23, 45, false), u"23_45");
  EXPECT_EQ(VekHourFileName(9, 30, true), u"09_00");
  const std::map<int32_t, int32_t> guard = {{-2, 120}, {-1, 120}, {0, 60}, {59, 60},
                                            {61, 61},  {300, 300}, {301, 300}};
  for (auto [in, out] : guard) EXPECT_EQ(VekClampHoursGuardTime(in), out) << in;
  const std::map<int32_t, int32_t> keep = {{-1, 180}, {0, 1}, {30, 30}, {1440, 1440}, {1441, 1440}};
  for (auto [in, out] : keep) EXPECT_EQ(VekClampHoursKeepTime(in), out) << in;
}

// ----- informer

uint32_t Crc(const std::u16string& s) { return DaxCrc32UnicodeString(0, s); }

std::vector<std::u16string> Choose(std::vector<std::u16string> files, bool random, int n,
                                   TVEKInformerPick& pick, uint32_t seed = 7) {
  std::vector<std::u16string> out;
  TVEKInformerRandom generator(seed);
  for (int i = 0; i < n; ++i) {
    std::u16string f;
    EXPECT_TRUE(VekChooseInformerFile([&] { return files; }, random, pick, generator, f));
    out.push_back(f);
  }
  return out;
}

TEST(TimedRules, InformerChoiceBySize) {
  TVEKInformerPick pick;
  EXPECT_EQ(Choose({u"a"}, true, 3, pick), (std::vector<std::u16string>{u"a", u"a", u"a"}));
  EXPECT_EQ(pick.LastCrc, 0u);  // a single file leaves the last one alone

  // Up to three files go in sequence even in random mode.
  pick = {};
  EXPECT_EQ(Choose({u"a", u"b", u"c"}, true, 4, pick),
            (std::vector<std::u16string>{u"a", u"b", u"c", u"a"}));

  std::u16string f;
  TVEKInformerRandom generator(1);
  EXPECT_FALSE(VekChooseInformerFile([] { return std::vector<std::u16string>{}; }, false, pick,
                                     generator, f));
}

TEST(TimedRules, InformerRandomNeverRepeatsAndReachesEveryFile) {
  TVEKInformerPick pick;
  std::vector<std::u16string> chosen;
  std::set<std::u16string> seen;
  // A fresh generator per event, as the engine seeds one per event.
  for (uint32_t event = 0; event < 60; ++event) {
    const auto one = Choose({u"a", u"b", u"c", u"d", u"e"}, true, 1, pick, 1000 + event / 3);
    if (!chosen.empty()) {
      EXPECT_NE(one[0], chosen.back()) << event;
    }
    chosen.push_back(one[0]);
    seen.insert(one[0]);
  }
  EXPECT_EQ(seen.size(), 5u);
}

TEST(TimedRules, InformerRepeatListsAgain) {
  TVEKInformerPick pick;
  pick.LastCrc = Crc(u"a");
  int listings = 0;
  TVEKInformerRandom generator(1);
  std::u16string f;
  ASSERT_TRUE(VekChooseInformerFile(
      [&] {
        ++listings;
        return std::vector<std::u16string>{u"a", u"b"};
      },
      false, pick, generator, f));
  EXPECT_EQ(f, u"b");
  EXPECT_EQ(listings, 2);
  EXPECT_EQ(pick.LastCrc, Crc(u"b"));
}

TEST(TimedRules, InformerSurvivesAShrinkingDirectory) {
  // Between events: the index points past the end of the shorter list.
  TVEKInformerPick pick;
  pick.Index = 4;
  EXPECT_EQ(Choose({u"a", u"b"}, false, 1, pick)[0], u"a");

  // Within an event: the directory shrinks to the file just played, so each
  // new listing only repeats it; the choice ends instead of growing the
  // list for ever.
  pick = {};
  pick.Index = 0;
  pick.LastCrc = Crc(u"b");
  int listings = 0;
  TVEKInformerRandom generator(1);
  std::u16string f;
  ASSERT_TRUE(VekChooseInformerFile(
      [&] {
        return ++listings == 1 ? std::vector<std::u16string>{u"a", u"b"}
                               : std::vector<std::u16string>{u"b"};
      },
      false, pick, generator, f));
  EXPECT_EQ(f, u"b");
  EXPECT_LE(listings, kVekInformerMaxRelists + 1);
}

TEST(TimedRules, InformerListingIsSortedFilesOnly) {
  TempDir dir;
  for (const char* name : {"c.wav", "a.wav", "b.wav"}) WriteFile(dir / name, "x");
  mkdir((dir / "sub").c_str(), 0755);
  const std::u16string base = DaxHookSysToUnicode(dir.path());
  EXPECT_EQ(VekListInformerFiles(base),
            (std::vector<std::u16string>{base + u"/a.wav", base + u"/b.wav", base + u"/c.wav"}));
  EXPECT_TRUE(VekListInformerFiles(base + u"/missing").empty());
}

// ----- DTMF

TVEKCLIDtmfCommands Commands(const std::u16string& text) {
  TVEKCLIDtmfCommands c;
  VekParseDtmfCommands(text, c);
  return c;
}

std::string Feed(TVEKDtmfSequence& seq, const std::string& tones, const TVEKCLIDtmfCommands& cmds,
                 uint32_t now = 0) {
  std::string matched;
  for (char t : tones)
    if (const TVEKCLIDtmfCommand* c = seq.AddTone(t, now, cmds)) matched += c->Code + ";";
  return matched;
}

TEST(TimedRules, DtmfSequenceMatchesTheEndAndStartsAnew) {
  const TVEKCLIDtmfCommands cmds = Commands(u"*7#:R; 34:NET:Region");
  TVEKDtmfSequence seq;
  EXPECT_EQ(Feed(seq, "5*7", cmds), "");
  EXPECT_TRUE(seq.Active());
  EXPECT_EQ(Feed(seq, "#", cmds), "*7#;");
  EXPECT_FALSE(seq.Active());
  EXPECT_EQ(Feed(seq, "3", cmds), "");
  EXPECT_EQ(seq.Tones(), "3");
  EXPECT_EQ(Feed(seq, "4", cmds), "34;");
  // A match empties the sequence: "#" after "*7#" does not reuse its tones.
  EXPECT_EQ(Feed(seq, "*7#7#", cmds), "*7#;");
}

TEST(TimedRules, DtmfSequenceTimeout) {
  const TVEKCLIDtmfCommands cmds = Commands(u"12:R");
  TVEKDtmfSequence seq;
  Feed(seq, "1", cmds, 0xFFFFFF00u);  // the tick wraps meanwhile
  EXPECT_FALSE(seq.ExpireAt(0xFFFFFF00u + 14999, 15000));
  EXPECT_TRUE(seq.Active());
  EXPECT_TRUE(seq.ExpireAt(0xFFFFFF00u + 15000, 15000));
  EXPECT_FALSE(seq.Active());
  EXPECT_EQ(Feed(seq, "2", cmds, 20000), "");  // a new sequence: no "12"
  EXPECT_FALSE(seq.ExpireAt(20000, 15000));
}

TEST(TimedRules, DtmfSequenceKeepsOnlyWhatCanStillMatch) {
  const TVEKCLIDtmfCommands cmds = Commands(u"123:R");
  TVEKDtmfSequence seq;
  EXPECT_EQ(Feed(seq, std::string(100000, '9') + "12", cmds), "");
  EXPECT_LE(seq.Tones().size(), 3u);
  EXPECT_EQ(Feed(seq, "3", cmds), "123;");
}

}  // namespace
