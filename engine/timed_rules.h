// The arithmetic behind the engine's timed announcements and DTMF commands,
// free of the engine so it can be driven with any clock: hour slots with
// correction and guard time, the hour file name, the informer's file choice
// and the DTMF tone sequence.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/cli_dtmf.h"
#include "foundation/clock.h"

// ----- local date and time as a count of milliseconds (no time zone: the
// count only serves differences and shifts of local times)
int64_t VekLocalToMs(const TDaxDateTime& t);
TDaxDateTime VekLocalFromMs(int64_t ms);

// The hour slot of a local time: t is the time shifted back by the
// correction, Slot the number of whole intervals since midnight of t, Start
// the slot's first instant.
struct TVEKHourSlot {
  int32_t Slot = 0;
  TDaxDateTime Time;
  TDaxDateTime Start;
  int64_t SinceStartMs = 0;  // t - Start
};
TVEKHourSlot VekHourSlotAt(const TDaxDateTime& local_now, int32_t correction_ms,
                           int32_t interval_minutes);
// True when t lies within the last guard_seconds before the next slot.
bool VekInHourGuard(const TVEKHourSlot& slot, int32_t interval_seconds, int32_t guard_seconds);
// The hour slot announced last: its first instant (VekLocalToMs) and the
// engine's tick when it was announced.
struct TVEKAnnouncedHour {
  bool Valid = false;
  int64_t StartMs = 0;
  uint32_t Tick = 0;
};
// Whether the slot starting at start_ms may be announced at `tick`: never
// the one announced last, after a wall clock stepped back over its start
// (a time server's correction); but a local time that comes round to it
// again after half an interval or more of real time (the hour repeated at
// the end of summer time) announces it again.
bool VekHourSlotIsNew(const TVEKAnnouncedHour& last, int64_t start_ms, uint32_t tick,
                      int32_t interval_seconds);
// "HH_MM", or "HH_00" in debug mode.
std::u16string VekHourFileName(int hour, int minute, bool debug);

// [Hours] GuardTime in seconds: negative gives 120, then 60..300.
int32_t VekClampHoursGuardTime(int32_t seconds);
// [Hours] ExtKeepTime in minutes: negative gives 180, 0 gives 1, at most 1440.
int32_t VekClampHoursKeepTime(int32_t minutes);

// ----- informer

// A small 32-bit linear congruential generator; the informer seeds it once
// per choice so a test can fix the sequence.
class TVEKInformerRandom {
 public:
  explicit TVEKInformerRandom(uint32_t seed) : seed_(seed) {}
  uint32_t Next();
  // (next x count) div 2^32: an index below count.
  uint32_t Below(uint32_t count);

 private:
  uint32_t seed_;
};

// Kept between informer events: the sequence index and the CRC-32 of the
// last file played.
struct TVEKInformerPick {
  int32_t Index = -1;
  uint32_t LastCrc = 0;
};

// How often a choice that repeats the last file may list the directory
// again before the repeat is accepted; a directory that shrank to that one
// file would otherwise grow the list for ever.
constexpr int kVekInformerMaxRelists = 4;

// Every file (no directories) of dir as full paths, sorted by name; empty
// when the directory is missing.
std::vector<std::u16string> VekListInformerFiles(const std::u16string& dir);
// Chooses the file to play: one entry as it is; more than three in random
// mode by the generator; else the next in sequence. A choice equal to the
// last file lists the directory again (appended) and chooses anew. False
// when the listing is empty.
bool VekChooseInformerFile(const std::function<std::vector<std::u16string>()>& list, bool random,
                           TVEKInformerPick& pick, TVEKInformerRandom& generator,
                           std::u16string& file);

// ----- DTMF tone sequence

class TVEKDtmfSequence {
 public:
  bool Active() const { return active_; }
  const std::string& Tones() const { return tones_; }
  // Adds a tone (a sequence starts at its first tone) and returns the first
  // command whose code ends the sequence, or null. A match ends the
  // sequence.
  const TVEKCLIDtmfCommand* AddTone(char tone, uint32_t now, const TVEKCLIDtmfCommands& commands);
  // Ends an active sequence that started timeout_ms or more before now.
  bool ExpireAt(uint32_t now, uint32_t timeout_ms);
  void End();

 private:
  bool active_ = false;
  uint32_t start_ = 0;
  std::string tones_;
};
