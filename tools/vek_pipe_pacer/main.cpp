// vek_pipe_pacer: feeds a capture pipe with silence (or a raw sample file)
// and drains a playback pipe, both at the stream's rate, until SIGINT or
// SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/alsa_devices.h"

namespace {

void Usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [-c CAPTURE_FIFO] [-p PLAYBACK_FIFO] [-r RATE] [-f FRAMES] [-i RAW]\n"
               "  -c FIFO    feed this pipe one buffer of FRAMES samples per write\n"
               "  -p FIFO    drain this pipe at RATE samples per second\n"
               "  -r RATE    samples per second (default 8000)\n"
               "  -f FRAMES  samples per capture buffer (default 320)\n"
               "  -i RAW     signed 16-bit little-endian samples to feed first\n",
               argv0);
}

bool ParseInt(const char* text, int& value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || v < 1 || v > 1000000) return false;
  value = static_cast<int>(v);
  return true;
}

// The drainer keeps what it read; a fresh one now and then keeps the memory
// bounded, and our own read end keeps the pipe open during the swap.
constexpr int kDrainerLifetimeS = 60;

}  // namespace

int main(int argc, char** argv) {
  std::string capture, playback, input;
  int rate = 8000, frames = 320;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "-c" && has_value) {
      capture = argv[++i];
    } else if (a == "-p" && has_value) {
      playback = argv[++i];
    } else if (a == "-i" && has_value) {
      input = argv[++i];
    } else if (a == "-r" && has_value) {
      if (!ParseInt(argv[++i], rate)) return Usage(argv[0]), 2;
    } else if (a == "-f" && has_value) {
      if (!ParseInt(argv[++i], frames)) return Usage(argv[0]), 2;
    } else {
      Usage(argv[0]);
      return 2;
    }
  }
  if (capture.empty() && playback.empty()) {
    Usage(argv[0]);
    return 2;
  }

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  try {
    std::vector<int16_t> samples;
    if (!input.empty()) samples = TAlsaTestDevices::ReadRaw(input);
    std::unique_ptr<TFifoFeeder> feeder;
    if (!capture.empty())
      feeder = std::make_unique<TFifoFeeder>(capture, std::move(samples), rate, frames);
    int keep_open = -1;
    std::unique_ptr<TFifoDrainer> drainer;
    if (!playback.empty()) {
      keep_open = open(playback.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      drainer = std::make_unique<TFifoDrainer>(playback, rate);
    }
    for (int seconds = 0;; ++seconds) {
      timespec tick{1, 0};
      const int sig = sigtimedwait(&set, nullptr, &tick);
      if (sig == SIGINT || sig == SIGTERM) break;
      if (drainer && seconds % kDrainerLifetimeS == kDrainerLifetimeS - 1) {
        drainer.reset();
        drainer = std::make_unique<TFifoDrainer>(playback, rate);
      }
    }
    drainer.reset();
    feeder.reset();
    if (keep_open >= 0) close(keep_open);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vek_pipe_pacer: %s\n", e.what());
    return 1;
  }
  return 0;
}
