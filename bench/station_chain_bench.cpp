// CPU and heap use of the station's voice chains, one sound-card buffer of
// InFactor/OutFactor 40-ms blocks per iteration:
//   capture:  card rate -> 8000 Hz, level, DTMF, pool blocks and block
//             queue, high-pass, AGC, captured-voice ring, GSM encode;
//   playback: GSM decode, high-pass, AGC, block queue, level,
//             8000 Hz -> card rate.
// The steps are driven the way the sound-card thread, the engine and the
// protocol thread drive them, with the stream read and write replaced by
// copies from and to memory. A sox process doing a like capture chain on the
// same input is timed in the same run and printed as a ratio.

#define VEK_ALLOC_COUNTER_DEFINE
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <samplerate.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "foundation/buffer_ptr.h"
#include "foundation/pool_buffers.h"
#include "foundation/types.h"
#include "foundation/types_base.h"
#include "station/agc.h"
#include "station/dtmf.h"
#include "station/gsmprocessor.h"
#include "station/iir.h"
#include "station/rate_convert.h"
#include "station/resampler.h"

extern char** environ;

namespace {

constexpr int kBlockSamples = 320;
constexpr int kBlockBytes = 640;
constexpr int kMaxFactor = 5;
constexpr int kMaxDeviceFrames = kMaxFactor * 48000 / 25;
constexpr int kMax8kSamples = kMaxFactor * kBlockSamples;
constexpr int kBackQueueKeep = 25;  // blocks the capture queue keeps before a read
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
// Step probes: the timed loop runs the steps bare; a short pass afterwards
// counts the allocations of each step when the loop saw any.

enum TStep : int {
  stRead,
  stConvert,
  stLevel,
  stDtmf,
  stQueue,
  stHpf,
  stAgc,
  stGsm,
  stWrite,
  stCount
};
const char* const kStepNames[stCount] = {"read", "convert", "level", "dtmf", "queue",
                                         "hpf",  "agc",     "gsm",   "write"};

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

// What both chains share: the pool, the sound card's block queue, the
// converter of one direction, the filter and AGC states of the engine.
class TChainBase {
 public:
  explicit TChainBase(const TChainConfig& config, bool capture)
      : config_(config),
        deviceFrames_(config.factor * (config.rate / 25)),
        samples8k_(config.factor * kBlockSamples),
        pool_(kBlockBytes, 1050),
        queue_(400, 4) {
    pool_.Fill();
    DaxIirInit(iir_, kHpfOrder);
    TDaxAgcParams agc;  // the configuration's defaults
    agc.Enabled = true;
    DaxAgcSetup(agc_, agc);
    OnLevel = [this] { lastLevel_.store(levelWord_, std::memory_order_relaxed); };
    OpenConverter(capture);
  }
  virtual ~TChainBase() {
    vekrs::resample_release(&resampler_);
    DaxSrcFree(src_);
  }
  TChainBase(const TChainBase&) = delete;
  TChainBase& operator=(const TChainBase&) = delete;

  const std::string& Error() const { return error_; }
  int Factor() const { return config_.factor; }
  double AudioSecondsPerBuffer() const { return config_.factor * 0.040; }

 protected:
  void OpenConverter(bool capture) {
    const TVEKConvertChoice choice = VekConvertChoice(config_.quality);
    kind_ = choice.Kind;
    const float ratio = capture ? 8000.0f / static_cast<float>(config_.rate)
                                : static_cast<float>(config_.rate) / 8000.0f;
    ratio_ = ratio;
    if (kind_ == VEK_CONVERT_RESAMPLER) {
      int code = vekrs::resample_open(choice.Param, &resampler_, ratio_, ratio_);
      if (code != vekrs::RESAMPLE_OK)
        error_ = std::string("resample_open: ") + vekrs::resample_error_text(code);
    } else if (kind_ == VEK_CONVERT_SAMPLERATE) {
      int code = 0;
      src_ = src_new(choice.Param, 1, &code);
      if (src_ == nullptr) error_ = std::string("SRC_new: ") + src_strerror(code);
    } else {
      error_ = "Resample mode {3}";
    }
  }

  // A converter that came short puts its output at the end of the buffer.
  static void PadLeading(float* out, long produced, long wanted) {
    if (produced >= wanted) return;
    if (produced < 0) produced = 0;
    std::memmove(out + (wanted - produced), out, static_cast<size_t>(produced) * sizeof(float));
    std::fill(out, out + (wanted - produced), 0.0f);
  }

  // in (inCount samples) -> out (exactly outCount samples).
  bool Convert(const int16_t* in, int inCount, int16_t* out, int outCount, const char* tag) {
    if (kind_ == VEK_CONVERT_RESAMPLER) {
      DaxSmallIntToFloatArray(in, floatIn_, inCount);
      int used = 0, code = 0;
      const int got = vekrs::resample_process(resampler_, ratio_, floatIn_, inCount, 0, &used,
                                              floatOut_, outCount, &code);
      if (got < 0) return Fail(tag, vekrs::resample_error_text(code));
      if (got > outCount) return Fail(tag, "wrong output frames count");
      if (used != inCount) return Fail(tag, "wrong input frames count");
      PadLeading(floatOut_, got, outCount);
      DaxFloatToSmallIntArray(floatOut_, out, outCount);
      return true;
    }
    DaxSmallIntToFloatScaled(in, floatIn_, inCount);
    src_set_data(&srcData_, floatIn_, floatOut_, inCount, outCount, 0, ratio_);
    const int code = src_process(src_, &srcData_);
    if (code != 0) return Fail(tag, src_strerror(code));
    long used = 0, got = 0;
    src_get_data_result(&srcData_, &used, &got);
    PadLeading(floatOut_, got, outCount);
    DaxFloatToSmallIntScaled(floatOut_, out, outCount);
    return true;
  }

  bool Fail(const char* tag, const char* text) {
    error_ = std::string(tag) + text;
    return false;
  }

  void ReturnToPool(void* const* blocks, int count) { pool_.Buffers().PushMany(blocks, count); }

  TChainConfig config_;
  int deviceFrames_;
  int samples8k_;
  TDaxPoolBuffers pool_;
  TDaxBufferPtr queue_;  // the sound card's block queue
  TDaxIirState iir_;
  TDaxAgcState agc_;
  uint8_t kind_ = VEK_CONVERT_NONE;
  double ratio_ = 1.0;
  vekrs::TResampleHandle* resampler_ = nullptr;
  SRC_STATE* src_ = nullptr;
  SRC_DATA srcData_{};
  float floatIn_[kMaxDeviceFrames] = {};
  float floatOut_[kMaxDeviceFrames] = {};
  int16_t pcm8k_[kMax8kSamples] = {};
  int16_t device_[kMaxDeviceFrames] = {};
  void* blocks_[kForwardBatch] = {};
  uint32_t levelWord_ = 0;
  std::atomic<uint32_t> lastLevel_{0};
  std::function<void()> OnLevel;  // the level event's receiver stores the word
  std::string error_;
};

class TCaptureChain : public TChainBase {
 public:
  explicit TCaptureChain(const TChainConfig& config)
      : TChainBase(config, true), input_(gInput.pcm.at(config.rate)), ring_(1500, 4) {
    buffersInInput_ = static_cast<int>(input_.size() / deviceFrames_);
    if (buffersInInput_ < 1) error_ = "input shorter than one buffer";
  }
  ~TCaptureChain() override {
    queue_.Clear();
    ring_.Clear();
  }

  template <class P>
  void RunBuffer(P& probe) {
    // Sound-card thread: one capture step in AMODE_CAPT.
    probe(stQueue, [&] {
      const int surplus = queue_.Count() - kBackQueueKeep;
      if (surplus > 0) ReturnOldest(queue_, surplus);
    });
    probe(stRead, [&] {
      std::memcpy(device_, input_.data() + static_cast<size_t>(next_) * deviceFrames_,
                  static_cast<size_t>(deviceFrames_) * sizeof(int16_t));
      next_ = (next_ + 1) % buffersInInput_;
    });
    bool converted = true;
    probe(stConvert, [&] {
      converted = Convert(device_, deviceFrames_, pcm8k_, samples8k_, "CAPT: resample: ");
    });
    if (!converted) return;
    probe(stLevel, [&] { levelWord_ = static_cast<uint32_t>(DaxLevelRms(pcm8k_, samples8k_)); });
    probe(stDtmf, [&] {
      for (int i = 0; i < samples8k_; i += kBlockSamples) {
        dtmf_.Process(pcm8k_ + i, kBlockSamples);
        char digit = 0;
        if (dtmf_.Detect(digit)) ++tones_;
      }
    });
    probe(stQueue, [&] {
      const int taken = pool_.Buffers().PopMany(blocks_, config_.factor);
      if (taken < config_.factor) ++poolUnderflows_;
      for (int i = 0; i < taken; ++i)
        std::memcpy(blocks_[i], pcm8k_ + i * kBlockSamples, kBlockBytes);
      if (queue_.Capacity() - queue_.Count() < taken) ReturnOldest(queue_, taken);
      queue_.PushMany(blocks_, taken);
      levelWord_ += 0x01000000;
      OnLevel();
    });
    // Engine: forward the captured blocks through the filter and the AGC.
    int forwarded = 0;
    probe(stQueue, [&] { forwarded = queue_.PopMany(engineBlocks_, kForwardBatch); });
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
  void ReturnOldest(TDaxBufferPtr& ring, int count) {
    while (count > 0) {
      const int n = ring.PopMany(scratch_, std::min(count, kForwardBatch));
      if (n == 0) break;
      ReturnToPool(scratch_, n);
      count -= n;
    }
  }

  const std::vector<int16_t>& input_;
  int buffersInInput_ = 0;
  int next_ = 0;
  TDaxBufferPtr ring_;  // the captured-voice ring, engine to protocol
  TDTMFDecoder dtmf_{8000};
  TGSM49Processor encoder_;
  void* engineBlocks_[kForwardBatch] = {};
  void* protoBlocks_[kForwardBatch] = {};
  void* scratch_[kForwardBatch] = {};
  uint8_t packet_[kBlocksPerPacket * kGsmBlockBytes] = {};
  int packetBlocks_ = 0;
  int tones_ = 0;
  int poolUnderflows_ = 0;
};

class TPlaybackChain : public TChainBase {
 public:
  explicit TPlaybackChain(const TChainConfig& config) : TChainBase(config, false) {
    if (gInput.gsmBlocks < 1) error_ = "no GSM input";
  }
  ~TPlaybackChain() override { queue_.Clear(); }

  template <class P>
  void RunBuffer(P& probe) {
    // Protocol: decode received GSM blocks into pool blocks.
    int decoded = 0;
    probe(stQueue, [&] { decoded = pool_.Buffers().PopMany(engineBlocks_, config_.factor); });
    for (int i = 0; i < decoded; ++i) {
      probe(stGsm, [&] {
        if (!decoder_.Decode(gInput.gsm.data() + static_cast<size_t>(nextGsm_) * kGsmBlockBytes,
                             static_cast<int16_t*>(engineBlocks_[i])))
          ++badBlocks_;
        nextGsm_ = (nextGsm_ + 1) % gInput.gsmBlocks;
      });
    }
    // Engine: filter and AGC, then hand the blocks to the sound card
    // (PlayPCMArray without a play limit).
    for (int i = 0; i < decoded; ++i) {
      int16_t* samples = static_cast<int16_t*>(engineBlocks_[i]);
      probe(stHpf, [&] { DaxIirProcess(iir_, samples, kBlockSamples); });
      probe(stAgc, [&] { DaxAgcProcess(samples, kBlockSamples, agc_); });
    }
    probe(stQueue, [&] {
      const int pushed = queue_.PushMany(engineBlocks_, decoded);
      if (pushed < decoded) ReturnToPool(engineBlocks_ + pushed, decoded - pushed);
    });
    // Sound-card thread: one playback step.
    bool filled = true;
    probe(stQueue, [&] {
      int taken = queue_.PopMany(blocks_, config_.factor);
      if (taken < config_.factor) {
        const int extra = pool_.Buffers().PopMany(blocks_ + taken, config_.factor - taken);
        for (int i = taken; i < taken + extra; ++i) std::memset(blocks_[i], 0, kBlockBytes);
        taken += extra;
        filled = taken == config_.factor;
      }
      for (int i = 0; i < taken; ++i)
        std::memcpy(pcm8k_ + i * kBlockSamples, blocks_[i], kBlockBytes);
      ReturnToPool(blocks_, taken);
    });
    if (!filled) {
      error_ = "Buffer pool underflow";
      return;
    }
    probe(stLevel, [&] { levelWord_ = static_cast<uint32_t>(DaxLevelRms(pcm8k_, samples8k_)); });
    bool converted = true;
    probe(stConvert, [&] {
      converted = Convert(pcm8k_, samples8k_, device_, deviceFrames_, "PLAY: resample: ");
    });
    if (!converted) return;
    probe(stWrite, [&] {
      benchmark::DoNotOptimize(device_);
      benchmark::ClobberMemory();
      OnLevel();
    });
  }

 private:
  TGSM49Processor decoder_;
  int nextGsm_ = 0;
  int badBlocks_ = 0;
  void* engineBlocks_[kForwardBatch] = {};
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
  for (auto _ : state) {
    const uint64_t before = vekbench::AllocCount();
    chain->RunBuffer(bare);
    allocs += vekbench::AllocCount() - before;
    if (!chain->Error().empty()) break;
  }
  const double cpu = ThreadCpuSeconds() - cpuStart;
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
    for (int i = 0; i < kAttributionBuffers && chain->Error().empty(); ++i) chain->RunBuffer(probe);
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
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0 &&
        std::strcmp(argv[i] + 19, "console") != 0)
      gSummary = stderr;
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
