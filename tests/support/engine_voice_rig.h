// Pieces of the engine voice rig that the voice tests and the voice
// benchmark share: the radio lines as files and a watch on them. Header
// only: the benchmarks do not link the test library.
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/mngr.h"
#include "foundation/types.h"

namespace vektest {

// PTT, COS and LIGHT as the files "ptt", "cos" and "light" in dir. The
// number of lines that could not be made; error holds the last one's text.
inline int CreateFileSignalLines(TVEKManager& e, const std::string& dir, std::u16string& error) {
  int failed = 0;
  for (auto [index, name] : {std::pair{msig_PTT, "ptt"}, {msig_COS, "cos"}, {msig_LIGHT, "light"}})
    if (!e.CreateSignalLine(index, u"FILE:" + DaxAnsiToUnicodeRaw(dir + "/" + name), error)) ++failed;
  return failed;
}

// Keeps when a signal file appeared and went. The folder's kernel events
// queue up while the watch's thread waits, so a busy machine delays a
// keying but never hides it (as it could from a poll).
class SignalFileWatch {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SignalFileWatch(std::string path) : path_(std::move(path)) {
    thread_ = std::thread([this] {
      const size_t slash = path_.rfind('/');
      const std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash);
      const std::string name = path_.substr(slash + 1);
      const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM);
      bool last = false;
      auto note = [&](bool on) {
        if (on == last) return;
        std::lock_guard<std::mutex> g(lock_);
        changes_.push_back({on, Clock::now()});
        last = on;
      };
      struct stat st {};
      note(stat(path_.c_str(), &st) == 0);
      alignas(inotify_event) char events[4096];
      while (!stop_) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5) <= 0) continue;
        const ssize_t n = read(fd, events, sizeof events);
        for (ssize_t at = 0; at < n;) {
          const auto* ev = reinterpret_cast<const inotify_event*>(events + at);
          if (ev->len > 0 && name == ev->name) note((ev->mask & (IN_CREATE | IN_MOVED_TO)) != 0);
          at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
      }
      close(fd);
    });
  }
  ~SignalFileWatch() {
    stop_ = true;
    thread_.join();
  }
  SignalFileWatch(const SignalFileWatch&) = delete;
  SignalFileWatch& operator=(const SignalFileWatch&) = delete;

  // When the file appeared (on) or went (off), in order.
  std::vector<Clock::time_point> Times(bool on) const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<Clock::time_point> times;
    for (auto& c : changes_)
      if (c.first == on) times.push_back(c.second);
    return times;
  }
  int Ons() const { return static_cast<int>(Times(true).size()); }
  bool On() const {
    std::lock_guard<std::mutex> g(lock_);
    return !changes_.empty() && changes_.back().first;
  }
  Clock::time_point FirstOn() const {
    const auto ons = Times(true);
    return ons.empty() ? Clock::time_point::max() : ons.front();
  }

 private:
  std::string path_;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<std::pair<bool, Clock::time_point>> changes_;
  std::thread thread_;
};

}  // namespace vektest
