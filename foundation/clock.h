// The monotonic millisecond clock on which all timers run, the fixed-width
// date and time texts of the log and the stored files, and signal names.
#pragma once

#include <cstdint>
#include <string>

// Low 32 bits of CLOCK_MONOTONIC in milliseconds; wraps about every 49.7 days.
// Intervals are unsigned 32-bit differences (now - start).
uint32_t DaxTickMs() noexcept;
// Sleeps the calling thread.
void VekSleepMs(uint32_t ms);

// A local calendar date and time of day with milliseconds.
struct TDaxDateTime {
  int Year = 0;    // e.g. 2024
  int Month = 0;   // 1..12
  int Day = 0;     // 1..31
  int Hour = 0;    // 0..23
  int Minute = 0;  // 0..59
  int Second = 0;  // 0..60
  int Millisecond = 0;  // 0..999
};

// The local date and time now, with milliseconds.
TDaxDateTime DaxNowLocal();
// The local date and time of a wall-clock instant (seconds and milliseconds
// since the epoch); a seam for tests and for stamping stored times.
TDaxDateTime DaxLocalFromUnix(int64_t seconds, int milliseconds = 0);

// YYYYMMDDhhmmss (14 characters, 8-bit); the two names are one routine.
std::string DaxDateTimeToStampA(const TDaxDateTime& t);
std::string DaxDateTimeToStamp(const TDaxDateTime& t);
// YYYYMMDDhhmmsszzz (17 characters).
std::string DaxDateTimeToStampMs(const TDaxDateTime& t);
// YYYY-MM-DD hh:mm:ss.zzz (23 characters), the log-line prefix.
std::u16string DaxDateTimeToLogText(const TDaxDateTime& t);

// The standard name of a signal ("SIGTERM"), or "Signal #<n>" for any other
// number. Safe to call from any thread.
std::u16string DaxSignalName(int signal_number);
