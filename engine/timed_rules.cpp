#include "engine/timed_rules.h"

#include <algorithm>

#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "foundation/hex.h"

namespace {

constexpr int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

void AppendTwoDigits(std::u16string& s, int v) {
  s += static_cast<char16_t>(u'0' + (v / 10) % 10);
  s += static_cast<char16_t>(u'0' + v % 10);
}

}  // namespace

int64_t VekLocalToMs(const TDaxDateTime& t) {
  return DaysFromCivil(t.Year, t.Month, t.Day) * kMsPerDay +
         ((t.Hour * 60 + t.Minute) * 60 + t.Second) * int64_t{1000} + t.Millisecond;
}

TDaxDateTime VekLocalFromMs(int64_t ms) {
  TDaxDateTime t;
  const int64_t days = FloorDiv(ms, kMsPerDay);
  int64_t rest = ms - days * kMsPerDay;
  CivilFromDays(days, t.Year, t.Month, t.Day);
  t.Millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  t.Second = static_cast<int>(rest % 60);
  rest /= 60;
  t.Minute = static_cast<int>(rest % 60);
  t.Hour = static_cast<int>(rest / 60);
  return t;
}

TVEKHourSlot VekHourSlotAt(const TDaxDateTime& local_now, int32_t correction_ms,
                           int32_t interval_minutes) {
  if (interval_minutes < 1) interval_minutes = 60;
  TVEKHourSlot s;
  const int64_t t = VekLocalToMs(local_now) - correction_ms;
  s.Time = VekLocalFromMs(t);
  s.Slot = (s.Time.Hour * 60 + s.Time.Minute) / interval_minutes;
  const int startMinutes = s.Slot * interval_minutes;
  s.Start = s.Time;
  s.Start.Hour = startMinutes / 60;
  s.Start.Minute = startMinutes % 60;
  s.Start.Second = 0;
  s.Start.Millisecond = 0;
  s.SinceStartMs = t - VekLocalToMs(s.Start);
  return s;
}

bool VekInHourGuard(const TVEKHourSlot& slot, int32_t interval_seconds, int32_t guard_seconds) {
  return slot.SinceStartMs > (int64_t{interval_seconds} - guard_seconds) * 1000;
}

bool VekHourSlotIsNew(const TVEKAnnouncedHour& last, int64_t start_ms, uint32_t tick,
                      int32_t interval_seconds) {
  if (!last.Valid || last.StartMs != start_ms) return true;
  return static_cast<uint32_t>(tick - last.Tick) >= static_cast<uint32_t>(interval_seconds) * 500u;
}

std::u16string VekHourFileName(int hour, int minute, bool debug) {
  std::u16string s;
  AppendTwoDigits(s, hour);
  s += u'_';
  AppendTwoDigits(s, debug ? 0 : minute);
  return s;
}

int32_t VekClampHoursGuardTime(int32_t seconds) {
  if (seconds < 0) return 120;
  return std::clamp(seconds, 60, 300);
}

int32_t VekClampHoursKeepTime(int32_t minutes) {
  if (minutes < 0) return 180;
  return std::clamp(minutes, 1, 1440);
}

uint32_t TVEKInformerRandom::Next() {
  seed_ = seed_ * 134775813u + 1u;
  return seed_;
}

uint32_t TVEKInformerRandom::Below(uint32_t count) {
  return static_cast<uint32_t>((static_cast<uint64_t>(Next()) * count) >> 32);
}

std::vector<std::u16string> VekListInformerFiles(const std::u16string& dir) {
  std::vector<std::string> found;
  DaxFindFiles(DaxHookUnicodeToSys(dir), "*", kDaxAttrAnyFile, found);
  // The directory's own order is a hash order on common file systems.
  std::sort(found.begin(), found.end());
  std::vector<std::u16string> out;
  out.reserve(found.size());
  for (const std::string& f : found) out.push_back(DaxHookSysToUnicode(f));
  return out;
}

bool VekChooseInformerFile(const std::function<std::vector<std::u16string>()>& list, bool random,
                           TVEKInformerPick& pick, TVEKInformerRandom& generator,
                           std::u16string& file) {
  std::vector<std::u16string> files = list();
  for (int relists = 0;; ++relists) {
    const size_t count = files.size();
    if (count == 0) return false;
    if (count == 1) {
      file = files[0];
      return true;
    }
    size_t index;
    if (count > 3 && random) {
      index = generator.Below(static_cast<uint32_t>(count));
    } else {
      // The list may be shorter than at the last event.
      pick.Index = std::max(pick.Index, -1) + 1;
      if (static_cast<size_t>(pick.Index) >= count) pick.Index = 0;
      index = static_cast<size_t>(pick.Index);
    }
    const uint32_t crc = DaxCrc32UnicodeString(0, files[index]);
    if (crc != pick.LastCrc || relists >= kVekInformerMaxRelists) {
      pick.LastCrc = crc;
      file = files[index];
      return true;
    }
    std::vector<std::u16string> again = list();
    files.insert(files.end(), again.begin(), again.end());
  }
}

const TVEKCLIDtmfCommand* TVEKDtmfSequence::AddTone(char tone, uint32_t now,
                                                    const TVEKCLIDtmfCommands& commands) {
  if (!active_) {
    active_ = true;
    start_ = now;
    tones_.clear();
  }
  tones_ += tone;
  size_t longest = 0;
  for (const TVEKCLIDtmfCommand& c : commands) {
    longest = std::max(longest, c.Code.size());
    if (!c.Code.empty() && tones_.ends_with(c.Code)) {
      End();
      return &c;
    }
  }
  // Only the end of the sequence can ever match: keep no more of it.
  if (tones_.size() > longest) tones_.erase(0, tones_.size() - longest);
  return nullptr;
}

bool TVEKDtmfSequence::ExpireAt(uint32_t now, uint32_t timeout_ms) {
  if (!active_ || now - start_ < timeout_ms) return false;
  End();
  return true;
}

void TVEKDtmfSequence::End() {
  active_ = false;
  tones_.clear();
}
