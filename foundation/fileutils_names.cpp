#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <random>

#include "foundation/fileutils.h"
#include "foundation/fileutils_internal.h"
#include "foundation/hex.h"

using namespace dax_fileutils;

namespace {

std::mt19937_64& Generator() {
  thread_local std::mt19937_64 gen([] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), static_cast<unsigned>(::getpid()),
                      static_cast<unsigned>(::time(nullptr))};
    return std::mt19937_64(seq);
  }());
  return gen;
}

// Days since 1899-12-30 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468 + 25569;  // 1970-01-01 is 25569
}

double LocalDateTimeNow() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  struct tm tm {};
  ::localtime_r(&secs, &tm);
  double day = static_cast<double>(DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday));
  double ms = ((tm.tm_hour * 60.0 + tm.tm_min) * 60.0 + tm.tm_sec) * 1000.0 +
              static_cast<double>(ts.tv_nsec / 1000000);
  return day + ms / 86400000.0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Unique names

uint32_t DaxRandomBelow(uint32_t bound) {
  if (bound == 0) return 0;
  std::uniform_int_distribution<uint32_t> dist(0, bound - 1);
  return dist(Generator());
}

std::string DaxMakeUniqueName(uint32_t a, uint32_t b, const std::string& s1,
                              const std::string& s2) {
  double now = LocalDateTimeNow();
  unsigned char stamp[8];
  std::memcpy(stamp, &now, sizeof stamp);
  unsigned char a_bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(a >> 8),
                              static_cast<unsigned char>(a >> 16),
                              static_cast<unsigned char>(a >> 24)};
  unsigned char b_bytes[4] = {static_cast<unsigned char>(b), static_cast<unsigned char>(b >> 8),
                              static_cast<unsigned char>(b >> 16),
                              static_cast<unsigned char>(b >> 24)};
  uint32_t c1 = DaxCrc32Update(0, stamp, 8);
  c1 = DaxCrc32Update(c1, a_bytes, 4);
  c1 = DaxCrc32String(c1, s1);
  uint32_t c2 = DaxCrc32Update(0xFFFFFFFFu, stamp, 8);
  c2 = DaxCrc32Update(c2, b_bytes, 4);
  c2 = DaxCrc32String(c2, s2);
  uint64_t v = ((static_cast<uint64_t>(c2) << 32) | c1) & 0x7FFFFFFFFFFFFFFFull;
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string out(10, '0');
  for (int i = 0; i < 10; ++i) {
    out[static_cast<size_t>(i)] = kDigits[v % 36];
    v /= 36;
  }
  return out;
}

namespace {

constexpr int kNameTaken = std::numeric_limits<int>::min();

// Calls try_name(path) for each candidate: kNameTaken (try the next one), 0
// free, else an error code to return.
template <typename F>
int TryUniqueNames(const std::string& dir, const std::string& prefix, std::string& name,
                   F try_name) {
  struct stat st {};
  std::string d = DaxExcludeTrailingSlashes(dir);
  if (d.empty()) d = dir.empty() ? std::string(".") : std::string("/");
  if (::stat(d.c_str(), &st) != 0)
    return errno == ENOENT || errno == ENOTDIR ? kErrPathNotFound : LastError();
  if (!S_ISDIR(st.st_mode)) return kErrPathNotFound;
  for (uint32_t i = 2; i <= 128; ++i) {
    uint32_t r = DaxRandomBelow(0x7FFFFFFE);
    std::string candidate =
        "." + prefix + DaxMakeUniqueName(r, i, dir, std::to_string(r) + std::to_string(i));
    int result = try_name(d + "/" + candidate);
    if (result == kNameTaken) continue;
    if (result == 0) name = candidate;
    return result;
  }
  return -1;
}

}  // namespace

int DaxMakeUniqueTempFileName(const std::string& dir, const std::string& prefix,
                              std::string& name) {
  return TryUniqueNames(dir, prefix, name, [](const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return kNameTaken;
    return errno == ENOENT ? 0 : LastError();
  });
}

int DaxCreateUniqueTempFile(const std::string& dir, const std::string& prefix,
                            std::string& name) {
  return TryUniqueNames(dir, prefix, name, [](const std::string& path) {
    int fd = RetryOpen(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      ::close(fd);
      return 0;
    }
    return errno == EEXIST ? kNameTaken : LastError();
  });
}

int DaxCreatePrivateTempDir(const std::string& dir, const std::string& prefix, std::string& name, int& fd) {
  fd = -1;
  std::string made;
  const int code = TryUniqueNames(dir, prefix, made, [](const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return 0;
    return errno == EEXIST ? kNameTaken : LastError();
  });
  if (code != 0) return code;
  const std::string path = DaxIncludeTrailingSlash(dir) + made;
  // Another user may replace the name in a shared directory without the
  // sticky bit; only a directory of ours that nobody else can enter will do.
  int opened = RetryOpen(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  if (opened < 0) return LastError();
  struct stat st {};
  int err = ::fstat(opened, &st) != 0 ? LastError() : 0;
  if (err == 0 && (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)) err = EPERM;
  if (err != 0) {
    ::close(opened);
    return err;
  }
  name = made;
  fd = opened;
  return 0;
}
