#include "foundation/clock.h"

#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "foundation/types.h"

uint32_t DaxTickMs() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // Truncated to 32 bits before adding, so the sum wraps like the counter.
  uint32_t ms = static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u);
  return ms + static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

void VekSleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TDaxDateTime DaxLocalFromUnix(int64_t seconds, int milliseconds) {
  time_t t = static_cast<time_t>(seconds);
  tm parts{};
  localtime_r(&t, &parts);
  TDaxDateTime r;
  r.Year = parts.tm_year + 1900;
  r.Month = parts.tm_mon + 1;
  r.Day = parts.tm_mday;
  r.Hour = parts.tm_hour;
  r.Minute = parts.tm_min;
  r.Second = parts.tm_sec;
  r.Millisecond = milliseconds;
  return r;
}

TDaxDateTime DaxNowLocal() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return DaxLocalFromUnix(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

namespace {

// Zero-padded fixed-width decimal; a value too wide for its field keeps its
// low digits so the text length never changes.
void PutDigits(std::string& out, int value, int width) {
  unsigned v = value < 0 ? 0u : static_cast<unsigned>(value);
  char buf[12];
  for (int i = width - 1; i >= 0; --i) {
    buf[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  out.append(buf, static_cast<size_t>(width));
}

}  // namespace

std::string DaxDateTimeToStampA(const TDaxDateTime& t) {
  std::string s;
  s.reserve(14);
  PutDigits(s, t.Year, 4);
  PutDigits(s, t.Month, 2);
  PutDigits(s, t.Day, 2);
  PutDigits(s, t.Hour, 2);
  PutDigits(s, t.Minute, 2);
  PutDigits(s, t.Second, 2);
  return s;
}

std::string DaxDateTimeToStamp(const TDaxDateTime& t) { return DaxDateTimeToStampA(t); }

std::string DaxDateTimeToStampMs(const TDaxDateTime& t) {
  std::string s = DaxDateTimeToStampA(t);
  PutDigits(s, t.Millisecond, 3);
  return s;
}

std::u16string DaxDateTimeToLogText(const TDaxDateTime& t) {
  std::string s;
  s.reserve(23);
  PutDigits(s, t.Year, 4);
  s += '-';
  PutDigits(s, t.Month, 2);
  s += '-';
  PutDigits(s, t.Day, 2);
  s += ' ';
  PutDigits(s, t.Hour, 2);
  s += ':';
  PutDigits(s, t.Minute, 2);
  s += ':';
  PutDigits(s, t.Second, 2);
  s += '.';
  PutDigits(s, t.Millisecond, 3);
  return DaxAnsiToUnicodeRaw(s);
}

namespace {

struct SignalRow {
  int number;
  const char* name;
};

// Searched in order, so where two names share a number the first one wins.
constexpr SignalRow kSignals[] = {
#ifdef SIGEMT
    {SIGEMT, "SIGEMT"},
#endif
    {SIGSYS, "SIGSYS"},
#ifdef SIGINFO
    {SIGINFO, "SIGINFO"},
#endif
    {SIGABRT, "SIGABRT"},     {SIGALRM, "SIGALRM"}, {SIGBUS, "SIGBUS"},   {SIGCHLD, "SIGCHLD"},
    {SIGCONT, "SIGCONT"},     {SIGFPE, "SIGFPE"},   {SIGHUP, "SIGHUP"},   {SIGILL, "SIGILL"},
    {SIGINT, "SIGINT"},       {SIGIO, "SIGIO"},     {SIGKILL, "SIGKILL"}, {SIGPIPE, "SIGPIPE"},
    {SIGPROF, "SIGPROF"},     {SIGQUIT, "SIGQUIT"}, {SIGSEGV, "SIGSEGV"}, {SIGSTOP, "SIGSTOP"},
    {SIGTERM, "SIGTERM"},     {SIGTRAP, "SIGTRAP"}, {SIGTTIN, "SIGTTIN"}, {SIGTTOU, "SIGTTOU"},
    {SIGTSTP, "SIGTSTP"},     {SIGURG, "SIGURG"},   {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},
    {SIGVTALRM, "SIGVTALRM"}, {SIGWINCH, "SIGWINCH"}, {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"},
};

}  // namespace

std::u16string DaxSignalName(int signal_number) {
  for (const SignalRow& row : kSignals)
    if (row.number == signal_number) return DaxAnsiToUnicodeRaw(row.name);
  return DaxAnsiToUnicodeRaw("Signal #" + std::to_string(signal_number));
}
