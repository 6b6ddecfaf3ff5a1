// The hour announcement's timing: from the instant the local clock crosses a
// slot boundary to the first sample of the hour file handed to the sound
// card. The engine notices the boundary at its next pass (at most one 130-ms
// tick later), so the figure is the tick's phase plus the reader's and the
// card's start.
//
// BM_SlotToFirstHourBlock: 30 boundaries at random phases against the tick;
// median and max in ms, and how many came later than the 0.2 s after which
// a slot's announcement lapses. The card is a paced fake stream (8000 Hz,
// 40-ms buffers) behind the real sound-card thread.

#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/config_reader.h"
#include "bench/bench_engine.h"
#include "bench/bench_stats.h"
#include "engine/mngr.h"
#include "engine/timed_rules.h"
#include "foundation/types.h"
#include "station/paudio.h"
#include "station/portaudio.h"
#include "support/child_process.h"
#include "support/env_guard.h"
#include "support/test_files.h"

namespace {

using Clock = std::chrono::steady_clock;

// When the card first got a sound sample; set by the fake stream.
struct FirstSound {
  std::atomic<int64_t> at_ns{0};
};

int64_t Ns(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// A card at 8000 Hz: reads give silence and writes take their time, both
// paced by the wall clock.
class PacedCard : public BenchPacedStream {
 public:
  explicit PacedCard(FirstSound* first) : first_(first) {}
  PaError Read(PaStream*, int16_t* buffer, unsigned long frames) override {
    Pace(frames);
    std::fill(buffer, buffer + frames, 0);
    return paNoError;
  }
  PaError Write(PaStream*, const int16_t* buffer, unsigned long frames) override {
    if (first_->at_ns.load() == 0 && std::any_of(buffer, buffer + frames, [](int16_t s) { return s != 0; }))
      first_->at_ns.store(Ns(Clock::now()));
    Pace(frames);
    return paNoError;
  }

 private:
  FirstSound* first_;
};

// An engine with hours on, a file for every hour and a local clock that
// crosses the next full hour at a chosen instant.
class HourBench {
 public:
  HourBench() {
    const std::string cfg = dir_ / "vek.cfg";
    std::ofstream(cfg).close();
    const std::string hours = dir_ / "hours";
    vektest::RunShell("mkdir -p '" + hours + "' && sox -q -n -r 8000 -c 1 -b 16 -e signed-integer '" + hours +
                      "/00_00.wav' synth 0.2 sine 440 vol 0.5");
    for (int h = 1; h < 24; ++h) {
      char name[16];
      snprintf(name, sizeof name, "/%02d_00.wav", h);
      vektest::RunShell("cp '" + hours + "/00_00.wav' '" + hours + name + "'");
    }
    const std::u16string home = DaxAnsiToUnicodeRaw(dir_.path());
    VekLoadConfig(DaxAnsiToUnicodeRaw(cfg), setup_, home, home);
    setup_.Manager.DynamicPasswordMode = dpm_NO;
    setup_.Hours.Enabled = true;
    setup_.Hours.Dir = DaxAnsiToUnicodeRaw(hours);
    const std::string alsa = dir_ / "alsa.conf";
    std::ofstream(alsa) << "pcm.benchcap { type file slave.pcm \"benchnull\" infile \"/dev/zero\" "
                           "file \"/dev/null\" format \"raw\" }\n"
                           "pcm.benchplay { type file slave.pcm \"benchnull\" file \"/dev/null\" format \"raw\" }\n"
                           "pcm.benchnull { type null }\n";
    alsa_path_.Set("/usr/share/alsa/alsa.conf:" + alsa);
    rt_ = std::make_unique<TVEKAudioRT>();
    setup_.Audio.InDevice = u"ALSA:benchcap";
    setup_.Audio.OutDevice = u"ALSA:benchplay";
    setup_.Audio.InSampleRate = 8000;
    setup_.Audio.OutSampleRate = 8000;
    setup_.Audio.InFactor = 2;
    setup_.Audio.OutFactor = 2;

    TVEKManagerSeams seams;
    seams.MakeStreamApi = [this] { return std::make_unique<PacedCard>(&first_); };
    seams.LocalTime = [this] {
      const int64_t since = (Ns(Clock::now()) - boundary_ns_.load()) / 1000000;
      return VekLocalFromMs(boundary_local_ms_.load() + since);
    };
    SetBoundary(1, Clock::now() + std::chrono::hours(1));
    engine_ = std::make_unique<TVEKManager>(0, rt_.get(), VekManagerSections(setup_), DaxAnsiToUnicodeRaw(cfg),
                                            BenchDrainEngineTexts, seams);
    engine_->WaitThreadsStarted();
  }
  ~HourBench() {
    engine_.reset();
    rt_.reset();
  }

  // The local clock reaches hour:00:00.000 at `at`.
  void SetBoundary(int hour, Clock::time_point at) {
    TDaxDateTime t;
    t.Year = 2026;
    t.Month = 5;
    t.Day = 4;
    t.Hour = hour;
    boundary_local_ms_.store(VekLocalToMs(t));
    boundary_ns_.store(Ns(at));
  }

  // One boundary `delay` from now; the time from it to the first sound
  // sample at the card, in ms (negative when none came).
  double Measure(int hour, Clock::duration delay) {
    first_.at_ns.store(0);
    const Clock::time_point at = Clock::now() + delay;
    SetBoundary(hour, at);
    engine_->Dispatcher().WaitServing(
        [&] { return first_.at_ns.load() != 0 || Clock::now() > at + std::chrono::seconds(2); }, 5);
    const int64_t first = first_.at_ns.load();
    // Let the sound end before the next boundary.
    engine_->Dispatcher().WaitServing(
        [&] {
          return engine_->SoundMode() == msm_Normal || Clock::now() > at + std::chrono::seconds(5);
        },
        5);
    return first == 0 ? -1.0 : static_cast<double>(first - Ns(at)) / 1e6;
  }

 private:
  vektest::TempDir dir_;
  vektest::EnvGuard alsa_path_{"ALSA_CONFIG_PATH"};
  TVEKSetupData setup_;
  std::unique_ptr<TVEKAudioRT> rt_;
  std::unique_ptr<TVEKManager> engine_;
  FirstSound first_;
  std::atomic<int64_t> boundary_local_ms_{0};
  std::atomic<int64_t> boundary_ns_{0};
};

void BM_SlotToFirstHourBlock(benchmark::State& state) {
  HourBench bench;
  std::vector<double> ms;
  int missed = 0;
  unsigned seed = 1;
  int hour = 1;
  for (auto _ : state) {
    seed = seed * 1103515245u + 12345u;
    const auto delay = std::chrono::milliseconds(300 + (seed >> 8) % 130);
    const double m = bench.Measure(hour, delay);
    hour = hour % 23 + 1;
    if (m < 0)
      ++missed;
    else
      ms.push_back(m);
  }
  state.counters["median_ms"] = BenchMedian(ms);
  state.counters["max_ms"] = BenchMax(ms);
  state.counters["over_200ms"] =
      static_cast<double>(std::count_if(ms.begin(), ms.end(), [](double v) { return v > 200; }) + missed);
  state.counters["missed"] = missed;
}
BENCHMARK(BM_SlotToFirstHourBlock)->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
