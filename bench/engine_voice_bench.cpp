// The engine's voice paths in time, against the VEK test server on
// 127.0.0.1 with the sound card over ALSA file PCMs on paced pipes and the
// radio lines as files (the rig of the engine voice tests):
//
// BM_CosToTx/<InPreCapturedTime>/<InFactor>: COS file created -> "TX0" at
//   the server, and -> the first TX packet at the server (approval at once).
// BM_RxKeying/<OutDelayLatency>: first 0x02 sent -> PTT file, -> first voice
//   sample at the paced reader (CTCSSWakeTime 0); last voice sample at the
//   reader -> PTT file gone (negative: the tail was cut).
// BM_IdleConnected: an idle connected gateway for VEK_BENCH_SECONDS (default
//   60): process CPU ms per s, and capture-level passes per s.
//
// Every figure is the median and p95 of 20 rounds, in ms. Server and client
// time stamps are both CLOCK_MONOTONIC.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_stats.h"
#include "engine/mngr.h"
#include "foundation/types.h"
#include "net/logininfo.h"
#include "net/server.h"
#include "station/portaudio.h"
#include "support/alsa_devices.h"
#include "support/engine_voice_rig.h"
#include "support/fake_vek_server.h"

namespace {

using namespace vektest;
using Clock = std::chrono::steady_clock;
constexpr int kRounds = 20;

uint32_t Ms(Clock::time_point t) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

std::vector<uint32_t> Ticks(const std::vector<Clock::time_point>& times) {
  std::vector<uint32_t> ticks;
  for (auto t : times) ticks.push_back(Ms(t));
  return ticks;
}

void Report(benchmark::State& state, const std::string& name, const std::vector<double>& v) {
  if (v.empty()) return;
  state.counters[name + "_med"] = BenchMedian(v);
  state.counters[name + "_p95"] = BenchPercentile(v, 95);
}

struct Settings {
  int pre_capture = 0;
  int in_factor = 2;
  bool delay_latency = false;
  uint32_t play_delay = 0;
};

// The voice tests' rig with a round's settings, online when made.
class VoiceBench {
 public:
  VoiceBench(const Settings& s, const Script& script) : r_(RigOptions(s)) {
    r_.rig.setup.Manager.DynamicPasswordMode = dpm_NO;
    TVEKAudioParams& a = r_.rig.setup.Audio;
    a.InPreCapturedTime = s.pre_capture;
    a.OutDelayLatency = s.delay_latency;
    r_.Start(script);
  }

  void Serve(const std::function<bool()>& done, uint32_t ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    engine().Dispatcher().WaitServing([&] { return done() || Clock::now() >= until; }, 2);
  }
  void Cos(bool on) { r_.Cos(on); }
  // Tick of the first item after `from` that matches.
  bool ItemAfter(uint32_t from, const std::function<bool(const ClientItem&)>& match, uint32_t& tick) {
    for (const auto& it : server().Items())
      if (static_cast<int32_t>(it.tick - from) >= 0 && match(it)) {
        tick = it.tick;
        return true;
      }
    return false;
  }

  TVEKManager& engine() { return r_.rig.engine(); }
  FakeVekServer& server() { return *r_.fake; }
  TFifoDrainer& drainer() { return *r_.drainer; }
  SignalFileWatch& ptt() { return r_.Ptt(); }
  // The watch's thread wakes every 5 ms: off for the CPU figure.
  void StopWatch() { r_.StopWatches(); }

 private:
  static EngineVoiceRig::Options RigOptions(const Settings& s) {
    EngineVoiceRig::Options o;
    o.in_factor = s.in_factor;
    o.capture = TAlsaTestDevices::Sine(600, 800, 8000, 8000);
    o.engine_options = mopt_NoTimers;
    o.play_delay = s.play_delay;
    o.watched = {msig_PTT};
    o.callsign = u"BENCH1";
    return o;
  }

  EngineVoiceRig r_;
};

void BM_CosToTx(benchmark::State& state) {
  Settings s;
  s.pre_capture = static_cast<int>(state.range(0));
  s.in_factor = static_cast<int>(state.range(1));
  Script script;
  script.TxPolicy(TxMode::Approve).Login().Sleep(600000);
  std::vector<double> to_tx0, to_packet;
  for (auto _ : state) {
    VoiceBench b(s, script);
    for (int round = 0; round < kRounds; ++round) {
      b.Serve([] { return false; }, 300);
      const uint32_t t0 = Ms(Clock::now());
      b.Cos(true);
      uint32_t tx0 = 0, packet = 0;
      auto is_tx0 = [](const ClientItem& i) { return i.kind == ItemKind::Line && i.text == "TX0"; };
      auto is_packet = [](const ClientItem& i) { return i.kind == ItemKind::TxPacket; };
      b.Serve([&] { return b.ItemAfter(t0, is_tx0, tx0) && b.ItemAfter(t0, is_packet, packet); }, 5000);
      b.Serve([] { return false; }, 200);
      b.Cos(false);
      b.Serve([&] { return b.engine().LinkState() == mst_Idle; }, 5000);
      if (tx0) to_tx0.push_back(static_cast<int32_t>(tx0 - t0));
      if (packet) to_packet.push_back(static_cast<int32_t>(packet - t0));
    }
  }
  Report(state, "tx0", to_tx0);
  Report(state, "packet", to_packet);
}
BENCHMARK(BM_CosToTx)
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({400, 1})
    ->Args({400, 2})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// Each 40-ms block the reader took: when, and whether it carried voice.
struct Block {
  uint32_t first_ms, last_ms;
  bool loud;
};
std::vector<Block> Blocks(TFifoDrainer& d) {
  const auto out = d.Samples();
  std::vector<Block> blocks;
  for (size_t at = 0; at + 320 <= out.size(); at += 320) {
    TFifoDrainer::TClock::time_point first, last;
    if (!d.SampleTime(at, first) || !d.SampleTime(at + 319, last)) break;
    int peak = 0;
    for (size_t i = at; i < at + 320; ++i) peak = std::max(peak, std::abs(static_cast<int>(out[i])));
    blocks.push_back({Ms(first), Ms(last), peak > 1000});
  }
  return blocks;
}

void BM_RxKeying(benchmark::State& state) {
  Settings s;
  s.delay_latency = state.range(0) != 0;
  Script script;
  script.Login();
  const auto voice = Tone(600, 8000, 3200);  // 400 ms
  for (int i = 0; i < kRounds; ++i) script.Sleep(1200).Talk(1, voice).KeepAlive();
  script.Sleep(600000);
  std::vector<double> to_ptt, to_voice, tail;
  for (auto _ : state) {
    VoiceBench b(s, script);
    b.Serve([&] { return b.ptt().Times(false).size() >= kRounds; }, kRounds * 2500 + 5000);
    b.Serve([] { return false; }, 500);
    std::vector<uint32_t> sent;
    uint32_t last = 0;
    for (const auto& c : b.server().Sent())
      if (!c.bytes.empty() && static_cast<uint8_t>(c.bytes[0]) == 0x02) {
        if (sent.empty() || c.tick - last > 600) sent.push_back(c.tick);
        last = c.tick;
      }
    const auto ons = Ticks(b.ptt().Times(true)), offs = Ticks(b.ptt().Times(false));
    const auto blocks = Blocks(b.drainer());
    const size_t n = std::min({sent.size(), ons.size(), offs.size()});
    for (size_t i = 0; i < n; ++i) {
      // The round's voice: loud blocks read from its first send on, before
      // the next round's.
      const uint32_t until = i + 1 < sent.size() ? sent[i + 1] : sent[i] + 5000;
      const Block* first = nullptr;
      const Block* last = nullptr;
      for (const Block& k : blocks) {
        if (!k.loud || static_cast<int32_t>(k.first_ms - sent[i]) < 0 ||
            static_cast<int32_t>(k.first_ms - until) >= 0)
          continue;
        if (!first) first = &k;
        last = &k;
      }
      if (!first) continue;
      to_ptt.push_back(static_cast<int32_t>(ons[i] - sent[i]));
      to_voice.push_back(static_cast<int32_t>(first->first_ms - sent[i]));
      tail.push_back(static_cast<int32_t>(offs[i] - last->last_ms));
    }
  }
  Report(state, "ptt", to_ptt);
  Report(state, "voice", to_voice);
  Report(state, "tail", tail);
}
BENCHMARK(BM_RxKeying)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

void BM_IdleConnected(benchmark::State& state) {
  const char* env = std::getenv("VEK_BENCH_SECONDS");
  const int seconds = env ? std::max(1, std::atoi(env)) : 60;
  Script script;
  script.Login().KeepAlives(2000).Sleep(600000);
  for (auto _ : state) {
    VoiceBench b(Settings{}, script);
    b.StopWatch();
    std::atomic<int> levels{0};
    b.engine().SetOnLevel([&levels] { ++levels; });
    const double cpu0 = BenchCpuSeconds();
    const auto start = Clock::now();
    b.Serve([] { return false; }, static_cast<uint32_t>(seconds) * 1000);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["cpu_ms_per_s"] = 1000.0 * (BenchCpuSeconds() - cpu0) / wall;
    state.counters["level_passes_per_s"] = levels.load() / wall;
    b.engine().SetOnLevel(nullptr);
  }
}
BENCHMARK(BM_IdleConnected)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
