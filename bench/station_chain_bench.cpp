// CPU and heap use of the station's voice chains, one sound-card buffer of
// InFactor/OutFactor 40-ms blocks per iteration:
//   capture:  the sound-card thread's capture step (card rate -> 8000 Hz,
//             level, DTMF, block queue), then high-pass, AGC, captured-voice
//             ring, GSM encode;
//   playback: GSM decode, high-pass, AGC, then the sound-card thread's
//             playback step (block queue, level, 8000 Hz -> card rate).
// The sound-card steps are the program's own thread on a stream that the
// benchmark paces and that reads from and writes to memory; the other steps
// are driven the way the engine and the protocol thread drive them. A sox
// process doing a like capture chain on the same input is timed in the same
// run and printed as a ratio.

#define VEK_ALLOC_COUNTER_DEFINE
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "bench/bench_stats.h"
#include "foundation/buffer_ptr.h"
#include "foundation/clock.h"
#include "foundation/pool_buffers.h"
#include "foundation/types.h"
#include "foundation/types_base.h"
#include "station/agc.h"
#include "station/dtmf.h"
#include "station/gsmprocessor.h"
#include "station/iir.h"
#include "station/paudio.h"
#include "station/portaudio.h"
#include "support/alsa_devices.h"

extern char** environ;

namespace {

constexpr int kBlockSamples = 320;
constexpr int kBlockBytes = 640;
constexpr int kForwardBatch = 64;   // blocks the engine and the protocol take at once
constexpr int kBlocksPerPacket = 5;
constexpr int kHpfOrder = 5;  // InHPFOrder/OutHPFOrder when not configured
constexpr double kInputSeconds = 6.0;
constexpr double kShortSeconds = 0.25;  // sox start-up run
constexpr int kSoxRepeat = 16;          // times sox is given the input in one run
constexpr int kAttributionBuffers = 200;

const int kRates[] = {48000, 44100};
const int kFactors[] = {1, 5};
const TVEKAudioConvertQuality kQualities[] = {acq_NO, acq_LOW, acq_MEDIUM, acq_HIGH};

std::string QualityName(TVEKAudioConvertQuality q) {
  std::u16string t = VekEnumText(q);
  std::string s;
  for (char16_t c : t) s += c < 0x80 ? static_cast<char>(c) : '?';
  return s.empty() ? std::to_string(static_cast<int>(q)) : s;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---------------------------------------------------------------------------
// Child processes (sox): run, wait, and take the child's own user CPU time.

struct TChildRun {
  bool ok = false;
  double userMs = 0;  // user CPU: the system time of a sox run is mostly its start-up
};

TChildRun RunChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  TChildRun run;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return run;
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return run;
  }
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  auto ms = [](const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
  run.userMs = ms(usage.ru_utime);
  return run;
}

// ---------------------------------------------------------------------------
// Input: a speech-like signal (a 130-Hz buzz plus pink noise in the voice
// band with a syllable-rate envelope) made once by sox at 48000 Hz and
// resampled by sox to the other rates; a tone sum when sox is missing.

struct TInput {
  std::string dir;  // scratch directory with the raw files
  bool fromSox = false;
  std::map<int, std::vector<int16_t>> pcm;  // by rate
  std::vector<uint8_t> gsm;                 // the 8000-Hz signal, 65 bytes per block
  int gsmBlocks = 0;

  std::string RawPath(int rate, const char* tag = "in") const {
    return dir + "/" + tag + "_" + std::to_string(rate) + ".raw";
  }
};

TInput gInput;

std::vector<std::string> RawArgs(int rate) {
  return {"-t", "raw", "-r", std::to_string(rate), "-e", "signed-integer", "-b", "16", "-c", "1"};
}

bool ReadRaw(const std::string& path, std::vector<int16_t>& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  out.assign(bytes.size() / 2, 0);
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return !out.empty();
}

bool WriteRaw(const std::string& path, const int16_t* samples, size_t count) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(samples), static_cast<std::streamsize>(count * 2));
  return static_cast<bool>(f);
}

std::vector<int16_t> ToneSum(int rate) {
  const int n = static_cast<int>(kInputSeconds * rate);
  std::vector<int16_t> out(n);
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    double v = 0;
    for (int h = 1; h * 130.0 < 3400.0; ++h) v += std::sin(2 * M_PI * 130.0 * h * t) / h;
    const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 4.0 * t);
    out[i] = static_cast<int16_t>(std::lround(v * envelope * 4000.0));
  }
  return out;
}

bool MakeSoxInput() {
  const int master = 48000;
  std::vector<std::string> gen = {"sox", "-R", "-V1", "-n"};
  for (const std::string& a : RawArgs(master)) gen.push_back(a);
  gen.push_back(gInput.RawPath(master));
  for (const char* a : {"synth", "6", "sawtooth", "130", "pinknoise", "mix", "gain", "-12", "sinc",
                        "200-3400", "tremolo", "4", "90", "gain", "-n", "-6"})
    gen.push_back(a);
  if (!RunChild(gen).ok) return false;
  for (int rate : {44100, 8000}) {
    std::vector<std::string> conv = {"sox", "-R", "-V1"};
    for (const std::string& a : RawArgs(master)) conv.push_back(a);
    conv.push_back(gInput.RawPath(master));
    for (const std::string& a : RawArgs(rate)) conv.push_back(a);
    conv.push_back(gInput.RawPath(rate));
    if (!RunChild(conv).ok) return false;
  }
  for (int rate : {48000, 44100, 8000})
    if (!ReadRaw(gInput.RawPath(rate), gInput.pcm[rate])) return false;
  return true;
}

void PrepareInput() {
  char pattern[] = "/tmp/vek-station-bench-XXXXXX";
  if (mkdtemp(pattern) != nullptr) gInput.dir = pattern;
  gInput.fromSox = !gInput.dir.empty() && MakeSoxInput();
  if (!gInput.fromSox) {
    gInput.pcm.clear();
    for (int rate : {48000, 44100, 8000}) gInput.pcm[rate] = ToneSum(rate);
    if (!gInput.dir.empty())
      for (int rate : {48000, 44100})
        WriteRaw(gInput.RawPath(rate), gInput.pcm[rate].data(), gInput.pcm[rate].size());
  }
  // The network side of playback: the same signal as GSM blocks.
  const std::vector<int16_t>& pcm8k = gInput.pcm[8000];
  gInput.gsmBlocks = static_cast<int>(pcm8k.size() / kBlockSamples);
  gInput.gsm.assign(static_cast<size_t>(gInput.gsmBlocks) * kGsmBlockBytes, 0);
  TGSM49Processor encoder;
  for (int i = 0; i < gInput.gsmBlocks; ++i)
    encoder.Encode(pcm8k.data() + i * kBlockSamples, gInput.gsm.data() + i * kGsmBlockBytes);
}

void RemoveInput() {
  if (gInput.dir.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(gInput.dir, ec);
}

// ---------------------------------------------------------------------------
// The sound card's side is the program's own thread (TVEKAudioPA) on a stream
// that the benchmark paces: each read or write waits for a ticket, so one
// iteration is exactly one capture or playback step. The thread's CPU time
// is taken between leaving one stream call and entering the next; the
// engine's filter and AGC and the protocol's GSM coding run on the benchmark
// thread the way the engine and the protocol thread drive them.

enum TStep : int { stCard, stQueue, stHpf, stAgc, stGsm, stCount };
const char* const kStepNames[stCount] = {"card", "queue", "hpf", "agc", "gsm"};

struct TNoProbe {
  template <class F>
  void operator()(TStep, F&& f) {
    f();
  }
};

struct TAllocProbe {
  uint64_t counts[stCount] = {};
  template <class F>
  void operator()(TStep step, F&& f) {
    const uint64_t start = vekbench::AllocCount();
    f();
    counts[step] += vekbench::AllocCount() - start;
  }
};

struct TChainConfig {
  int rate;
  TVEKAudioConvertQuality quality;
  int factor;
};

// The pacing shared by the stream and the benchmark thread.
struct TPace {
  std::mutex m;
  std::condition_variable cv;
  int tickets = 0;
  int entered = 0;     // stream calls the thread has entered
  bool free_run = false;
  double stepCpu = 0;  // the thread's CPU seconds outside the stream calls
  double leftAt = -1;  // its CPU clock when it left the last call
  std::function<void(int16_t*, unsigned long)> source;
};

class TPacedStream : public TVEKAudioStreamApi {
 public:
  explicit TPacedStream(TPace& pace) : pace_(pace) {}
  double DeviceLatency(PaDeviceIndex, bool) override { return 0.02; }
  PaStream* Open(const PaStreamParameters&, bool, double, unsigned long) override {
    return reinterpret_cast<PaStream*>(&stream_);
  }
  double StreamLatency(PaStream*, bool) override { return 0.02; }
  void Start(PaStream*) override {}
  PaError Stop(PaStream*) override { return paNoError; }
  PaError Abort(PaStream*) override { return paNoError; }
  PaError Close(PaStream*) override { return paNoError; }
  PaError Read(PaStream*, int16_t* buffer, unsigned long frames) override {
    Pass();
    if (pace_.source) pace_.source(buffer, frames);
    return paNoError;
  }
  PaError Write(PaStream*, const int16_t* buffer, unsigned long) override {
    benchmark::DoNotOptimize(buffer);
    Pass();
    return paNoError;
  }
  uint32_t TickMs() override { return DaxTickMs(); }

 private:
  void Pass() {
    std::unique_lock<std::mutex> g(pace_.m);
    const double now = ThreadCpuSeconds();
    if (pace_.leftAt >= 0) pace_.stepCpu += now - pace_.leftAt;
    ++pace_.entered;
    pace_.cv.notify_all();
    pace_.cv.wait(g, [&] { return pace_.tickets > 0 || pace_.free_run; });
    if (pace_.tickets > 0) --pace_.tickets;
    pace_.leftAt = ThreadCpuSeconds();
  }
  TPace& pace_;
  int stream_ = 0;
};

// ALSA devices for the thread's device lookup (no sound card is needed: the
// paced stream stands in for the device), and PortAudio started once.
struct TAudioDevices {
  TAudioDevices() {
    const std::string none = alsa.PathOf("none.raw");
    TAlsaTestDevices::WriteRaw(none, {});
    alsa.AddCapture("vekcap", none);
    alsa.AddPlayback("vekplay", alsa.PathOf("out.raw"));
    alsa.Install();
    rt = std::make_unique<TVEKAudioRT>();
  }
  TAlsaTestDevices alsa;
  std::unique_ptr<TVEKAudioRT> rt;
};

TVEKAudioRT& AudioRT() {
  static TAudioDevices devices;
  return *devices.rt;
}

// What both chains share: the pool, the sound-card thread on the paced
// stream, the filter and AGC states of the engine.
class TChainBase {
 public:
  explicit TChainBase(const TChainConfig& config)
      : config_(config), pool_(kBlockBytes, 1050) {
    pool_.Fill();
    DaxIirInit(iir_, kHpfOrder);
    TDaxAgcParams agc;  // the configuration's defaults
    agc.Enabled = true;
    DaxAgcSetup(agc_, agc);
  }
  virtual ~TChainBase() { StopThread(); }
  TChainBase(const TChainBase&) = delete;
  TChainBase& operator=(const TChainBase&) = delete;

  std::string Error() {
    std::lock_guard<std::mutex> g(errorLock_);
    return error_;
  }
  bool Failed() const { return failed_.load(std::memory_order_relaxed); }
  int Factor() const { return config_.factor; }
  double AudioSecondsPerBuffer() const { return config_.factor * 0.040; }
  // CPU seconds of the sound-card thread's steps so far.
  double CardCpu() {
    std::lock_guard<std::mutex> g(pace_.m);
    return pace_.stepCpu;
  }

 protected:
  void StartThread(const TVEKAudioPASettings& settings) {
    pa_ = std::make_unique<TVEKAudioPA>(
        &AudioRT(), &pool_, settings,
        [this](TVEKAudioPA* p) {
          p->OnErrorText = [this](const std::u16string& t) { SetError(DaxUnicodeToAnsiRaw(t)); };
          p->OnWarningText = [](const std::u16string&) {};
          p->OnHardwareFailure = [this] { SetError("hardware failure"); };
          p->OnPoolUnderflow = [this] { SetError("Buffer pool underflow"); };
          p->OnCaptureLevel = [] {};
          p->OnPlayLevel = [] {};
          p->OnDtmfTone = [] {};
        },
        std::make_unique<TPacedStream>(pace_));
    while (!pa_->Started()) std::this_thread::yield();
    pa_->SetLevelMode(1);  // RMS
  }

  // Lets the thread finish the stream call it waits in, run one step and
  // enter the next call. A thread that left the stream fails the run.
  void CardStep() {
    std::unique_lock<std::mutex> g(pace_.m);
    const int target = pace_.entered + 1;
    ++pace_.tickets;
    pace_.cv.notify_all();
    if (!pace_.cv.wait_for(g, std::chrono::seconds(5), [&] { return pace_.entered >= target; })) {
      g.unlock();
      SetError("the sound-card thread left the stream");
    }
  }

  // Waits until the thread sits in its first stream call.
  bool WaitFirstCall() {
    std::unique_lock<std::mutex> g(pace_.m);
    return pace_.cv.wait_for(g, std::chrono::seconds(5), [&] { return pace_.entered > 0; });
  }

  void StopThread() {
    if (!pa_) return;
    {
      std::lock_guard<std::mutex> g(pace_.m);
      pace_.free_run = true;
      pace_.cv.notify_all();
    }
    pa_->StopCurrent();
    pa_.reset();
  }

  void SetError(const std::string& text) {
    std::lock_guard<std::mutex> g(errorLock_);
    if (error_.empty()) error_ = text;
    failed_ = true;
  }

  void ReturnToPool(void* const* blocks, int count) { pool_.Buffers().PushMany(blocks, count); }

  TChainConfig config_;
  TDaxPoolBuffers pool_;
  TPace pace_;
  std::unique_ptr<TVEKAudioPA> pa_;
  TDaxIirState iir_;
  TDaxAgcState agc_;
  void* engineBlocks_[kForwardBatch] = {};
  std::mutex errorLock_;
  std::string error_;
  std::atomic<bool> failed_{false};
};

class TCaptureChain : public TChainBase {
 public:
  explicit TCaptureChain(const TChainConfig& config)
      : TChainBase(config), input_(gInput.pcm.at(config.rate)), ring_(1500, 4) {
    const size_t deviceFrames = static_cast<size_t>(config.factor * (config.rate / 25));
    if (input_.size() < deviceFrames) {
      SetError("input shorter than one buffer");
      return;
    }
    pace_.source = [this](int16_t* buffer, unsigned long frames) {
      if (next_ + frames > input_.size()) next_ = 0;
      std::memcpy(buffer, input_.data() + next_, frames * sizeof(int16_t));
      next_ += frames;
    };
    TVEKAudioPASettings s;
    s.InDevice = u"ALSA:vekcap";
    s.InSampleRate = config.rate;
    s.InQuality = config.quality;
    s.InFactor = config.factor;
    s.InDtmfEnabled = true;
    StartThread(s);
    pa_->CaptStart();
    if (!pa_->StreamOpen() || !WaitFirstCall()) SetError("capture did not start");
  }
  ~TCaptureChain() override {
    StopThread();
    ring_.Clear();
  }

  template <class P>
  void RunBuffer(P& probe) {
    // Sound-card thread: one capture step (read, convert, level, DTMF, queue).
    probe(stCard, [&] { CardStep(); });
    // Engine: forward the captured blocks through the filter and the AGC.
    int forwarded = 0;
    probe(stQueue, [&] { forwarded = pa_->Queue().PopMany(engineBlocks_, kForwardBatch); });
    for (int i = 0; i < forwarded; ++i) {
      int16_t* samples = static_cast<int16_t*>(engineBlocks_[i]);
      probe(stHpf, [&] { DaxIirProcess(iir_, samples, kBlockSamples); });
      probe(stAgc, [&] { DaxAgcProcess(samples, kBlockSamples, agc_); });
    }
    probe(stQueue, [&] { ring_.PushMany(engineBlocks_, forwarded); });
    // Protocol: encode into packets of five GSM blocks, give the blocks back.
    int sending = 0;
    probe(stQueue, [&] { sending = ring_.PopMany(protoBlocks_, kForwardBatch); });
    for (int i = 0; i < sending; ++i) {
      probe(stGsm, [&] {
        encoder_.Encode(static_cast<const int16_t*>(protoBlocks_[i]),
                        packet_ + packetBlocks_ * kGsmBlockBytes);
        if (++packetBlocks_ == kBlocksPerPacket) {
          benchmark::DoNotOptimize(packet_);
          packetBlocks_ = 0;
        }
      });
    }
    probe(stQueue, [&] { ReturnToPool(protoBlocks_, sending); });
  }

 private:
  const std::vector<int16_t>& input_;
  size_t next_ = 0;
  TDaxBufferPtr ring_;  // the captured-voice ring, engine to protocol
  TGSM49Processor encoder_;
  void* protoBlocks_[kForwardBatch] = {};
  uint8_t packet_[kBlocksPerPacket * kGsmBlockBytes] = {};
  int packetBlocks_ = 0;
};

class TPlaybackChain : public TChainBase {
 public:
  explicit TPlaybackChain(const TChainConfig& config) : TChainBase(config) {
    if (gInput.gsmBlocks < 1) {
      SetError("no GSM input");
      return;
    }
    TVEKAudioPASettings s;
    s.OutDevice = u"ALSA:vekplay";
    s.OutSampleRate = config.rate;
    s.OutQuality = config.quality;
    s.OutFactor = config.factor;
    StartThread(s);
    pa_->PlayStart(0, 0);
    if (!pa_->StreamOpen() || !WaitFirstCall()) SetError("playback did not start");
  }
  ~TPlaybackChain() override { StopThread(); }

  template <class P>
  void RunBuffer(P& probe) {
    // Protocol: decode received GSM blocks into pool blocks.
    int decoded = 0;
    probe(stQueue, [&] { decoded = pool_.Buffers().PopMany(engineBlocks_, config_.factor); });
    for (int i = 0; i < decoded; ++i) {
      probe(stGsm, [&] {
        decoder_.Decode(gInput.gsm.data() + static_cast<size_t>(nextGsm_) * kGsmBlockBytes,
                        static_cast<int16_t*>(engineBlocks_[i]));
        nextGsm_ = (nextGsm_ + 1) % gInput.gsmBlocks;
      });
    }
    // Engine: filter and AGC, then hand the blocks to the sound card.
    for (int i = 0; i < decoded; ++i) {
      int16_t* samples = static_cast<int16_t*>(engineBlocks_[i]);
      probe(stHpf, [&] { DaxIirProcess(iir_, samples, kBlockSamples); });
      probe(stAgc, [&] { DaxAgcProcess(samples, kBlockSamples, agc_); });
    }
    probe(stQueue, [&] { pa_->PlayPCMArray(engineBlocks_, decoded); });
    // Sound-card thread: one playback step (queue, level, convert, write).
    probe(stCard, [&] { CardStep(); });
  }

 private:
  TGSM49Processor decoder_;
  int nextGsm_ = 0;
};

// ---------------------------------------------------------------------------
// Results kept for the closing table.

struct TResult {
  double cpuMsPerAudioS = 0;
  double allocsPerBlock = 0;
  std::string allocatingSteps;
};
std::map<std::string, TResult> gResults;
FILE* gSummary = stdout;  // stderr when the benchmark output is JSON or CSV

std::string Key(const char* direction, const TChainConfig& c) {
  return std::string(direction) + "/" + std::to_string(c.rate) + "/F" + std::to_string(c.factor) +
         "/" + QualityName(c.quality);
}

template <class TChain>
void RunChain(benchmark::State& state, const char* direction, TChainConfig config) {
  auto chain = std::make_unique<TChain>(config);
  if (!chain->Error().empty()) {
    state.SkipWithError(chain->Error().c_str());
    return;
  }
  TNoProbe bare;
  uint64_t allocs = 0;
  const double cpuStart = ThreadCpuSeconds();
  const double cardStart = chain->CardCpu();
  for (auto _ : state) {
    const uint64_t before = vekbench::AllocCount();
    chain->RunBuffer(bare);
    allocs += vekbench::AllocCount() - before;
    if (chain->Failed()) break;
  }
  const double cpu = ThreadCpuSeconds() - cpuStart + chain->CardCpu() - cardStart;
  if (!chain->Error().empty()) {
    state.SkipWithError(chain->Error().c_str());
    return;
  }
  const double iterations = static_cast<double>(state.iterations());
  const double blocks = iterations * chain->Factor();
  TResult result;
  result.cpuMsPerAudioS = cpu * 1000.0 / (iterations * chain->AudioSecondsPerBuffer());
  result.allocsPerBlock = static_cast<double>(allocs) / blocks;
  state.counters["cpu_ms_per_audio_s"] = result.cpuMsPerAudioS;
  state.counters["allocs_per_block"] = result.allocsPerBlock;
  if (allocs > 0) {
    TAllocProbe probe;
    for (int i = 0; i < kAttributionBuffers && !chain->Failed(); ++i) chain->RunBuffer(probe);
    const double probeBlocks = static_cast<double>(kAttributionBuffers) * chain->Factor();
    for (int s = 0; s < stCount; ++s) {
      if (probe.counts[s] == 0) continue;
      const double perBlock = static_cast<double>(probe.counts[s]) / probeBlocks;
      state.counters[std::string("allocs_") + kStepNames[s]] = perBlock;
      char text[64];
      std::snprintf(text, sizeof text, "%s%s %.3g", result.allocatingSteps.empty() ? "" : ", ",
                    kStepNames[s], perBlock);
      result.allocatingSteps += text;
    }
  }
  gResults[Key(direction, config)] = result;
}

void RegisterChains() {
  for (const char* direction : {"Capture", "Playback"})
    for (int rate : kRates)
      for (int factor : kFactors)
        for (TVEKAudioConvertQuality quality : kQualities) {
          const TChainConfig config{rate, quality, factor};
          const bool capture = direction[0] == 'C';
          auto* b = benchmark::RegisterBenchmark(Key(direction, config).c_str(),
                                                 [direction, config, capture](benchmark::State& s) {
                                                   if (capture)
                                                     RunChain<TCaptureChain>(s, direction, config);
                                                   else
                                                     RunChain<TPlaybackChain>(s, direction, config);
                                                 });
          b->Unit(benchmark::kMicrosecond)->MinTime(0.2);
        }
}

// ---------------------------------------------------------------------------
// sox doing the capture chain's conversion, filter and encoding on the same
// input; its start-up cost is measured on a short prefix and taken off.

struct TSoxFigure {
  bool ok = false;
  double fullMs = 0;       // user CPU of the repeated input, start-up included
  double startupMs = 0;    // user CPU of the short prefix
  double msPerAudioS = 0;  // (full - short) per second of the difference
};

// The input is given `repeat` times (sox joins them) so that the work, not
// the start-up, dominates the figure.
double BestSoxRun(const std::string& input, int rate, int repeat) {
  std::vector<std::string> args = {"sox", "-V1"};
  for (int r = 0; r < repeat; ++r) {
    for (const std::string& a : RawArgs(rate)) args.push_back(a);
    args.push_back(input);
  }
  for (const char* a : {"-r", "8000", "-t", "gsm"}) args.push_back(a);
  args.push_back(gInput.dir + "/out_" + std::to_string(rate) + ".gsm");
  for (const char* a : {"rate", "8000", "highpass", "300"}) args.push_back(a);
  double best = -1;
  for (int i = 0; i < 5; ++i) {
    TChildRun run = RunChild(args);
    if (!run.ok) return -1;
    if (best < 0 || run.userMs < best) best = run.userMs;
  }
  return best;
}

TSoxFigure TimeSox(int rate) {
  TSoxFigure f;
  if (!gInput.fromSox) return f;
  const std::vector<int16_t>& pcm = gInput.pcm.at(rate);
  const size_t shortCount = static_cast<size_t>(kShortSeconds * rate);
  if (!WriteRaw(gInput.RawPath(rate, "short"), pcm.data(), shortCount)) return f;
  f.fullMs = BestSoxRun(gInput.RawPath(rate), rate, kSoxRepeat);
  f.startupMs = BestSoxRun(gInput.RawPath(rate, "short"), rate, 1);
  if (f.fullMs < 0 || f.startupMs < 0) return f;
  const double seconds = static_cast<double>(pcm.size() * kSoxRepeat - shortCount) / rate;
  f.msPerAudioS = std::max(0.0, f.fullMs - f.startupMs) / seconds;
  f.ok = true;
  return f;
}

// The hooks may be missing (another allocator, a static link): then every
// figure would read zero.
bool AllocCounterWorks() {
  vekbench::TAllocSpan span;
  std::vector<int> probe(64);
  benchmark::DoNotOptimize(probe.data());
  return span.Count() > 0;
}

void PrintSummary() {
  if (gResults.empty()) return;
  std::fprintf(gSummary,
               "\nStation chains: CPU ms per second of audio, heap allocations per 40-ms block\n");
  std::fprintf(gSummary, "(input: %.1f s %s)\n", kInputSeconds,
               gInput.fromSox ? "speech-like signal made by sox" : "tone sum (sox not found)");
  std::map<int, TSoxFigure> sox;
  for (int rate : kRates) {
    const std::string prefix = "Capture/" + std::to_string(rate) + "/";
    auto capture = gResults.lower_bound(prefix);
    if (capture == gResults.end() || capture->first.compare(0, prefix.size(), prefix) != 0)
      continue;
    sox[rate] = TimeSox(rate);
    const TSoxFigure& f = sox[rate];
    if (f.ok)
      std::fprintf(gSummary,
                   "sox capture chain at %d Hz (rate 8000, highpass 300, GSM): %.1f ms user CPU for"
                   " the input %d times, %.1f ms for %.2f s -> %.3f ms per audio second\n",
                   rate, f.fullMs, kSoxRepeat, f.startupMs, kShortSeconds, f.msPerAudioS);
    else
      std::fprintf(gSummary, "sox capture chain at %d Hz: not timed (sox missing or failed)\n",
                   rate);
  }
  std::fprintf(gSummary, "\n%6s %6s %-8s %10s %8s %10s %8s %10s\n", "rate", "factor", "quality",
               "capture", "allocs", "playback", "allocs", "sox/capt");
  std::string allocating;
  for (int rate : kRates)
    for (int factor : kFactors)
      for (TVEKAudioConvertQuality quality : kQualities) {
        const TChainConfig c{rate, quality, factor};
        auto capt = gResults.find(Key("Capture", c));
        auto play = gResults.find(Key("Playback", c));
        if (capt == gResults.end() && play == gResults.end()) continue;
        auto cell = [](auto it, auto end, bool allocs) {
          char text[32];
          if (it == end) return std::string("-");
          std::snprintf(text, sizeof text, allocs ? "%.3g" : "%.3f",
                        allocs ? it->second.allocsPerBlock : it->second.cpuMsPerAudioS);
          return std::string(text);
        };
        std::string ratio = "-";
        if (capt != gResults.end() && sox[rate].ok && capt->second.cpuMsPerAudioS > 0) {
          char text[32];
          std::snprintf(text, sizeof text, "%.2f",
                        sox[rate].msPerAudioS / capt->second.cpuMsPerAudioS);
          ratio = text;
        }
        std::fprintf(gSummary, "%6d %6d %-8s %10s %8s %10s %8s %10s\n", rate, factor,
                     QualityName(quality).c_str(), cell(capt, gResults.end(), false).c_str(),
                     cell(capt, gResults.end(), true).c_str(),
                     cell(play, gResults.end(), false).c_str(),
                     cell(play, gResults.end(), true).c_str(), ratio.c_str());
        for (auto it : {capt, play})
          if (it != gResults.end() && !it->second.allocatingSteps.empty())
            allocating += "  " + it->first + ": " + it->second.allocatingSteps + "\n";
      }
  std::fprintf(gSummary,
               "\nsox/capt > 1: our capture chain (which also runs the level, DTMF and AGC steps)"
               " uses less CPU than sox.\n");
  if (!AllocCounterWorks())
    std::fprintf(gSummary,
                 "The allocation counter saw no allocation: its zeros mean nothing here.\n");
  else if (allocating.empty())
    std::fprintf(gSummary, "No step allocated on the heap.\n");
  else
    std::fprintf(gSummary, "Steps that allocated (per block):\n%s", allocating.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  gSummary = BenchSummaryStream(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  PrepareInput();
  RegisterChains();
  benchmark::RunSpecifiedBenchmarks();
  PrintSummary();
  benchmark::Shutdown();
  RemoveInput();
  return 0;
}
