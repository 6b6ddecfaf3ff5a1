// The engine's loop: how long a worker's event takes to reach the owner's
// callback, what one owner-callback round trip costs, and what an idle
// engine costs in CPU.
//
// BM_RaiseToCallback/0: an idle engine (asleep in its 130-ms wait);
// BM_RaiseToCallback/1: the same while the sound card reports a capture
// level every 80 ms (a paced fake stream behind a real sound-card thread).
// The receiver of a text-message event is fired from the owner's thread,
// which then serves until the callback runs; p50 and p99 in microseconds.
// The callback runs on the owner's thread, so the figure includes one
// round trip of BM_OwnerCallbackRoundTrip; the difference is raise to
// handler start.
//
// BM_IdleCpu/0 and /1: process CPU per second of wall time of an engine that
// has nothing to do, without and with the capture levels.
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/config_reader.h"
#include "bench/bench_engine.h"
#include "bench/bench_stats.h"
#include "engine/mngr.h"
#include "foundation/types.h"
#include "net/proto.h"
#include "station/paudio.h"
#include "station/portaudio.h"
#include "support/env_guard.h"
#include "support/test_files.h"

namespace {

using Clock = std::chrono::steady_clock;

// A capture stream that delivers one buffer of a tone every 80 ms of wall
// time, like a card at 8000 Hz with InFactor 2.
class PacedCapture : public BenchPacedStream {
 public:
  PaError Read(PaStream*, int16_t* buffer, unsigned long frames) override {
    Pace(frames);
    for (unsigned long i = 0; i < frames; ++i, ++phase_)
      buffer[i] = static_cast<int16_t>(3000 * std::sin(phase_ * 2 * M_PI * 440 / 8000));
    return paNoError;
  }
  PaError Write(PaStream*, const int16_t*, unsigned long) override { return paNoError; }

 private:
  double phase_ = 0;
};

// One engine with its configuration; with the sound card, an ALSA PCM of its
// own gives the device lookup a name (the fake stream is what runs).
class BenchEngine {
 public:
  explicit BenchEngine(bool with_card) {
    const std::string cfg = dir_ / "vek.cfg";
    std::ofstream(cfg).close();
    const std::u16string home = DaxAnsiToUnicodeRaw(dir_.path());
    VekLoadConfig(DaxAnsiToUnicodeRaw(cfg), setup_, home, home);
    setup_.Manager.DynamicPasswordMode = dpm_NO;
    TVEKManagerSeams seams;
    uint32_t options = mopt_NoSoundCard | mopt_NoTimers;
    if (with_card) {
      const std::string alsa = dir_ / "alsa.conf";
      std::ofstream(alsa) << "pcm.benchcap { type file slave.pcm \"benchnull\" infile \"/dev/zero\" "
                             "file \"/dev/null\" format \"raw\" }\npcm.benchnull { type null }\n";
      alsa_path_.Set("/usr/share/alsa/alsa.conf:" + alsa);
      rt_ = std::make_unique<TVEKAudioRT>();
      setup_.Audio.InDevice = u"ALSA:benchcap";
      setup_.Audio.InSampleRate = 8000;
      setup_.Audio.InFactor = 2;
      seams.MakeStreamApi = [] { return std::make_unique<PacedCapture>(); };
      options = mopt_NoTimers;
    }
    engine_ = std::make_unique<TVEKManager>(
        options, rt_.get(), VekManagerSections(setup_), DaxAnsiToUnicodeRaw(cfg),
        [this](TVEKManager& e) {
          e.OnMessages = [this] { callback_at_ = Clock::now(); ++callbacks_; };
          BenchDrainEngineTexts(e);
        },
        seams);
    engine_->WaitThreadsStarted();
  }
  ~BenchEngine() {
    engine_.reset();
    rt_.reset();
  }

  TVEKManager& engine() { return *engine_; }
  // Fires the message receiver and serves until its callback ran; the
  // latency in microseconds.
  double RaiseAndWait() {
    const int before = callbacks_;
    const auto start = Clock::now();
    engine_->Protocol()->OnMessage();
    engine_->Dispatcher().WaitServing([&] { return callbacks_ != before; }, 1);
    return std::chrono::duration<double, std::micro>(callback_at_ - start).count();
  }

 private:
  vektest::TempDir dir_;
  vektest::EnvGuard alsa_path_{"ALSA_CONFIG_PATH"};
  TVEKSetupData setup_;
  std::unique_ptr<TVEKAudioRT> rt_;
  std::unique_ptr<TVEKManager> engine_;
  int callbacks_ = 0;  // owner thread only
  Clock::time_point callback_at_;
};

void BM_RaiseToCallback(benchmark::State& state) {
  BenchEngine bench(state.range(0) != 0);
  std::vector<double> latencies;
  unsigned seed = 1;
  for (auto _ : state) {
    // A random phase against the 80-ms capture and the 130-ms tick.
    seed = seed * 1103515245u + 12345u;
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + (seed >> 8) % 20000));
    state.ResumeTiming();
    latencies.push_back(bench.RaiseAndWait());
  }
  state.counters["p50_us"] = BenchPercentile(latencies, 50);
  state.counters["p99_us"] = BenchPercentile(latencies, 99);
}
BENCHMARK(BM_RaiseToCallback)->Arg(0)->Arg(1)->Iterations(300)->Unit(benchmark::kMicrosecond);

void BM_OwnerCallbackRoundTrip(benchmark::State& state) {
  TDaxSyncDispatcher dispatcher;
  std::vector<double> trips;
  for (auto _ : state) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        dispatcher.Call([] {});
        trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      }
      done = true;
      dispatcher.Wake();
    });
    dispatcher.WaitServing([&] { return done.load(); }, 1000);
    worker.join();
  }
  state.counters["p50_us"] = BenchPercentile(trips, 50);
  state.counters["p99_us"] = BenchPercentile(trips, 99);
}
BENCHMARK(BM_OwnerCallbackRoundTrip)->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_IdleCpu(benchmark::State& state) {
  BenchEngine bench(state.range(0) != 0);
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpu0 = BenchCpuSeconds();
    const auto start = Clock::now();
    const auto until = start + std::chrono::seconds(2);
    bench.engine().Dispatcher().WaitServing([&] { return Clock::now() >= until; }, 500);
    cpu += BenchCpuSeconds() - cpu0;
    wall += std::chrono::duration<double>(Clock::now() - start).count();
  }
  state.counters["cpu_ms_per_s"] = 1000.0 * cpu / wall;
  // The last capture level: not 0 when the card's levels arrive.
  state.counters["level"] = bench.engine().LevelWord() & 0xFFFFFF;
}
BENCHMARK(BM_IdleCpu)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
