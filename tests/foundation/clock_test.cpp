#include "foundation/clock.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <ctime>

namespace {

TEST(Clock, TicksAreMonotonicMillisecondsTruncatedTo32Bits) {
  auto reference = [] {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec / 1000000));
  };
  uint32_t lo = reference();
  uint32_t tick = DaxTickMs();
  uint32_t hi = reference();
  EXPECT_LE(tick - lo, hi - lo);
}

TEST(Clock, StampsHaveFixedWidthFields) {
  TDaxDateTime t{2024, 3, 5, 7, 8, 9, 45};
  EXPECT_EQ(DaxDateTimeToStampA(t), "20240305070809");
  EXPECT_EQ(DaxDateTimeToStamp(t), "20240305070809");
  EXPECT_EQ(DaxDateTimeToStampMs(t), "20240305070809045");
  EXPECT_EQ(DaxDateTimeToLogText(t), u"2024-03-05 07:08:09.045");
  TDaxDateTime late{999, 12, 31, 23, 59, 59, 999};
  EXPECT_EQ(DaxDateTimeToLogText(late), u"0999-12-31 23:59:59.999");
}

TEST(Clock, LocalTimeFollowsTheTimeZone) {
  const char* old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "UTC", 1);
  tzset();
  // 2024-03-05 07:08:09 UTC.
  TDaxDateTime t = DaxLocalFromUnix(1709622489, 45);
  EXPECT_EQ(DaxDateTimeToLogText(t), u"2024-03-05 07:08:09.045");
  TDaxDateTime now = DaxNowLocal();
  EXPECT_GE(now.Year, 2024);
  EXPECT_LE(now.Millisecond, 999);
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST(Clock, SignalNames) {
  const struct { int number; const char16_t* name; } cases[] = {
      {SIGTERM, u"SIGTERM"}, {SIGHUP, u"SIGHUP"}, {SIGUSR2, u"SIGUSR2"}, {SIGSYS, u"SIGSYS"},
      {SIGXFSZ, u"SIGXFSZ"}, {SIGIO, u"SIGIO"},   {0, u"Signal #0"},    {64, u"Signal #64"},
      {-1, u"Signal #-1"},
  };
  for (const auto& c : cases) EXPECT_EQ(DaxSignalName(c.number), c.name) << c.number;
  EXPECT_EQ(DaxSignalName(15), u"SIGTERM");
}

}  // namespace
