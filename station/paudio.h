// The sound-card thread: moves 320-sample 8000-Hz blocks between the engine
// and one blocking PortAudio stream at a time, converting to the card's
// rate, measuring levels and detecting DTMF. The engine drives it through
// request operations that wait for the thread's reply, and hears from it
// through events.
#pragma once

#include <portaudio.h>
#include <samplerate.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/backoff.h"
#include "foundation/buffer_ptr.h"
#include "foundation/fifo_ts.h"
#include "foundation/pool_buffers.h"
#include "foundation/setup_data.h"
#include "foundation/thread.h"
#include "foundation/types_base.h"
#include "foundation/waiter2_bsd.h"
#include "station/dtmf.h"
#include "station/portaudio.h"
#include "station/resampler.h"

enum TVEKAudioMode : uint8_t {
  AMODE_STOP = 0,
  AMODE_CAPT_BACK = 1,
  AMODE_CAPT = 2,
  AMODE_PLAY = 3,
};
std::u16string VekAudioModeText(TVEKAudioMode mode);

// Level words (see LevelWord()).
constexpr uint32_t kLevelPlayEmpty = 0x01000000u;      // also: captured blocks queued
constexpr uint32_t kLevelPlayDelay = 0x04000000u;      // start-delay silence, abort, write error
constexpr uint32_t kLevelPlayReopenFailed = 0x05000000u;
constexpr uint32_t kLevelPlayIdle = 0x20000000u;       // silence written within the drain time
constexpr uint32_t kLevelPlayDry = 0x21000000u;        // silence written after the drain time

// The stream and clock under the thread, so that timing and failures can be
// driven without a sound card. The default is PortAudio and DaxTickMs.
class TVEKAudioStreamApi {
 public:
  virtual ~TVEKAudioStreamApi() = default;
  // The device's suggested latency: defaultLowInputLatency for capture,
  // defaultHighOutputLatency for playback. Raises EPortAudioException.
  virtual double DeviceLatency(PaDeviceIndex device, bool capture) = 0;
  // Opens a blocking stream (input parameters for capture, else output),
  // flag paClipOff. Raises EPortAudioException.
  virtual PaStream* Open(const PaStreamParameters& params, bool capture, double rate,
                         unsigned long frames_per_buffer) = 0;
  // inputLatency or outputLatency. Raises EPortAudioException.
  virtual double StreamLatency(PaStream* stream, bool capture) = 0;
  virtual void Start(PaStream* stream) = 0;  // raises EPortAudioException
  virtual PaError Stop(PaStream* stream) = 0;
  virtual PaError Abort(PaStream* stream) = 0;
  virtual PaError Close(PaStream* stream) = 0;
  virtual PaError Read(PaStream* stream, int16_t* buffer, unsigned long frames) = 0;
  virtual PaError Write(PaStream* stream, const int16_t* buffer, unsigned long frames) = 0;
  virtual uint32_t TickMs() = 0;
  // Waits up to `ms` of TickMs time for the next retry of an open, or
  // until `waiter` is signalled.
  virtual void Wait(TWaiter2Socket& waiter, uint32_t ms) { waiter.WaitOne(ms); }
};

// The real one: PortAudio's blocking calls.
class TVEKPortAudioStreamApi : public TVEKAudioStreamApi {
 public:
  double DeviceLatency(PaDeviceIndex device, bool capture) override;
  PaStream* Open(const PaStreamParameters& params, bool capture, double rate,
                 unsigned long frames_per_buffer) override;
  double StreamLatency(PaStream* stream, bool capture) override;
  void Start(PaStream* stream) override;
  PaError Stop(PaStream* stream) override;
  PaError Abort(PaStream* stream) override;
  PaError Close(PaStream* stream) override;
  PaError Read(PaStream* stream, int16_t* buffer, unsigned long frames) override;
  PaError Write(PaStream* stream, const int16_t* buffer, unsigned long frames) override;
  uint32_t TickMs() override;
};

// The [Audio] settings the thread takes at creation.
struct TVEKAudioPASettings {
  int32_t MeterMode = 0;
  std::u16string InDevice;
  int32_t InSampleRate = 8000;
  TVEKAudioConvertQuality InQuality = acq_HIGH;
  int32_t InFactor = 2;
  bool InDtmfEnabled = false;
  int32_t InPreCapturedTime = 0;
  std::u16string OutDevice;
  int32_t OutSampleRate = 8000;
  TVEKAudioConvertQuality OutQuality = acq_HIGH;
  int32_t OutFactor = 2;
  int32_t OutBufferLimitTime = 1200;
  bool OutDelayLatency = false;
  int32_t OutDelayConst = 0;
};

// The fields of the [Audio] record that the thread takes.
TVEKAudioPASettings VekAudioPASettings(const TVEKAudioParams& params);

// Blocks per buffer as the configuration report shows them: negative -> 2,
// 0 -> 1, above 5 -> 5.
int32_t VekAudioFactor(int32_t factor);

class TVEKAudioPA : public TDaxThread {
 public:
  static constexpr int kBlockSamples = 320;
  static constexpr int kBlockBytes = 640;
  static constexpr int kMaxBlocks = 5;
  static constexpr int kBackQueueBlocks = 25;
  // While the mode wants a stream and none is open, the thread tries the
  // open again itself, at this growing interval.
  static constexpr uint32_t kReopenFirstMs = 100;
  static constexpr uint32_t kReopenMaxMs = 5000;
  // Repeated failure lines of a dead card: the first, then spaced ones
  // with a count.
  static constexpr uint32_t kReportFirstMs = 1000;
  static constexpr uint32_t kReportMaxMs = 60000;

  using TCreatedProc = std::function<void(TVEKAudioPA*)>;

  // `rt` and `pool` are not owned and must outlive the thread; `api` is
  // owned (null: PortAudio). `on_created` runs before the thread starts.
  TVEKAudioPA(TVEKAudioRT* rt, TDaxPoolBuffers* pool, const TVEKAudioPASettings& settings,
              TCreatedProc on_created = {}, std::unique_ptr<TVEKAudioStreamApi> api = nullptr);
  TVEKAudioPA(TVEKAudioRT* rt, TDaxPoolBuffers* pool, const TVEKAudioParams& params,
              TCreatedProc on_created = {}, std::unique_ptr<TVEKAudioStreamApi> api = nullptr)
      : TVEKAudioPA(rt, pool, VekAudioPASettings(params), std::move(on_created), std::move(api)) {}
  ~TVEKAudioPA() override;

  // Requests (engine thread). Failures come back through the events.
  void CaptStart();
  void CaptStartBack();
  void CaptStop();
  void PlayStart(int32_t start_delay_ms, int32_t play_limit_ms);
  void PlayStop();
  void StopCurrent();

  // Hands `count` blocks over; each goes back to the pool when played or
  // dropped.
  void PlayPCMArray(void* const* blocks, int count);
  void FlushQueue();
  // Returns the oldest captured blocks so that at most the pre-roll stays;
  // the number returned.
  int TrimCaptureQueue();

  void SetPreRollMs(int32_t ms);
  void SetPlayLimitMs(int32_t ms);
  void SetLevelMode(int32_t mode);
  bool PopDtmfTone(char& tone);
  void TakeSkipCounters(int32_t& dropped_by_limit, int32_t& dropped_by_overflow);

  int32_t PlayMsToBuffers(int32_t ms) const;
  int32_t RoundToPlayBufferMs(int32_t ms) const;
  int32_t PlayBuffersToMs(int32_t n) const;
  int32_t CaptBuffersToMs(int32_t n) const;

  void SetOnQueueLow(std::function<void()> event) { queue_.OnLowMark = std::move(event); }
  void SetOnQueueHigh(std::function<void()> event) { queue_.OnHighMark = std::move(event); }

  // Ends the thread.
  void Stop();

  // State the engine reads directly.
  TVEKAudioMode Mode() const { return mode_.load(); }
  bool StreamOpen() const { return stream_.load() != nullptr; }
  int DeviceIndex() const { return device_index_.load(); }
  int QueueCount() const { return queue_.Count(); }
  bool PlayQueueDry() const { return dry_.load(); }
  bool Started() const { return started_.load(); }
  // Written before each play-level or capture-level event.
  uint32_t LevelWord() const { return level_word_.load(); }
  int32_t PreRollBlocks() const { return preroll_blocks_.load(); }
  int32_t PlayLimitBlocks() const { return play_limit_blocks_.load(); }
  int32_t LatencyMs() const { return latency_ms_.load(); }
  int32_t DrainMs() const { return drain_ms_.load(); }
  int32_t InFactor() const { return in_factor_; }
  int32_t OutFactor() const { return out_factor_; }
  // The captured-block queue (capture) or the play queue (playback).
  TDaxBufferPtr& Queue() { return queue_; }

  // Events, set by the owner before the thread needs them.
  std::function<void(const std::u16string&)> OnErrorText;
  std::function<void(const std::u16string&)> OnWarningText;
  // A card that works again after failing ("CAPT: audio device works again").
  std::function<void(const std::u16string&)> OnInfoText;
  std::function<void()> OnHardwareFailure;
  std::function<void()> OnDtmfTone;
  std::function<void()> OnPlayLevel;
  std::function<void()> OnCaptureLevel;
  std::function<void()> OnPoolUnderflow;

  // Raises the error event; with no handler, raises the text as Exception.
  void ReportError(const std::u16string& text);

 protected:
  void Execute() override;

 private:
  class TToneFifo : public TFifoThreadSafe {
   public:
    using TFifoThreadSafe::TFifoThreadSafe;
    ~TToneFifo() override { Clear(); }
  };

  // Engine side.
  bool Request(std::atomic<bool>& flag, uint32_t wait_ms, const char* tag);
  void ModeError(const char* op, const char* allowed);
  void ReturnQueued();
  // The device index, -1 with `failure` telling why when none is found.
  int LookupDevice(bool capture, std::u16string& failure);
  // Engine side: a failure is reported at once.
  int LookupAndReport(bool capture);
  void Warning(const std::u16string& text);

  // Thread side.
  void ServeRequests();
  bool AnyRequest() const;
  void OpenStream(bool capture);
  void StopStream();
  void AbortStream();
  void FreeConverter();
  void CaptureStep();
  void PlaybackStep();
  void ConvertCapture();
  // Converts buf8k_ (real audio or silence) into dev_ for playback; a
  // converter error leaves silence in dev_.
  void ConvertPlayback(bool silence);
  PaError WriteBuffer(bool stamp);
  void HandleWriteError(PaError rc);
  void CountOverUnder(bool capture);
  void SetLevel(uint32_t word) { level_word_.store(word); }
  void RaisePlayLevel() { if (OnPlayLevel) OnPlayLevel(); }
  void RaiseCaptureLevel() { if (OnCaptureLevel) OnCaptureLevel(); }
  void TrimQueueTo(int keep);

  // A dead card (paudio_recovery.cpp): failures spaced and counted, opens
  // retried by the thread, one line when it works again.
  struct TTrouble {
    TDaxRepeatGate io{kReportFirstMs, kReportMaxMs};    // read or write errors
    TDaxRepeatGate open{kReportFirstMs, kReportMaxMs};  // lookups and opens
    bool active = false;  // a failure since the last good read or write
  };
  TTrouble& TroubleOf(bool capture) { return capture ? capt_trouble_ : play_trouble_; }
  void ReportRepeated(bool capture, bool io, const std::u16string& text);
  // A read or write failed and the stream is gone: a first failure reopens
  // at once, later ones wait for the retry.
  void ReopenAfterError(bool capture);
  // Looks the device up and opens it; true when a stream runs.
  bool TryOpen(bool capture);
  // No stream: opens when the mode wants one and the retry is due, else
  // waits.
  void RetryOrWait();
  // A good read or write.
  void WorksAgain(bool capture) {
    if (TroubleOf(capture).active || reopen_.Failing()) EndTrouble(capture);
  }
  void EndTrouble(bool capture);

  TVEKAudioRT* rt_;
  TDaxPoolBuffers* pool_;
  TDaxBufferPtr queue_{400, 4};

  // Buffers, sized at open for the stream's geometry.
  std::vector<float> float_a_;     // 8000-Hz side
  std::vector<float> float_b_;     // device side
  std::vector<int16_t> buf8k_;
  std::vector<int16_t> dev_;

  SRC_STATE* src_ = nullptr;
  SRC_DATA src_data_{};
  vekrs::TResampleHandle* resampler_ = nullptr;
  double ratio_ = 1.0;
  int convert_param_ = 0;
  uint8_t convert_kind_ = 0;

  void* block_ptrs_[kMaxBlocks] = {};

  // Geometry of the open stream.
  int ms_per_buffer_ = 0;
  int dev_frames_per_block_ = 0;
  int blocks_ = 0;
  int dev_bytes_ = 0;
  int dev_frames_ = 0;
  int samples8k_ = 0;
  int bytes8k_ = 0;

  std::atomic<uint32_t> level_word_{0};

  std::atomic<int32_t> start_delay_req_{0};   // silent buffers asked for
  std::atomic<int32_t> start_delay_left_{0};  // still to write
  std::atomic<int32_t> start_delay_blocks_{0};

  std::atomic<int32_t> play_limit_blocks_{0};
  std::atomic<int32_t> dropped_by_limit_{0};
  std::atomic<int32_t> dropped_by_overflow_{0};
  std::atomic<int32_t> pending_skip_{0};
  std::atomic<int32_t> preroll_blocks_{0};

  std::unique_ptr<TWaiter2Socket> cmd_waiter_;
  std::unique_ptr<TWaiter2Socket> reply_waiter_;
  std::atomic<int32_t> level_mode_{0};
  std::unique_ptr<TDTMFDecoder> dtmf_;
  std::unique_ptr<TToneFifo> tones_;

  std::atomic<uint32_t> last_write_tick_{0};
  std::atomic<int32_t> latency_ms_{0};
  std::atomic<int32_t> drain_ms_{0};

  std::atomic<PaStream*> stream_{nullptr};
  std::atomic<int> device_index_{-1};
  int over_under_ = 0;

  std::u16string in_device_;
  std::u16string out_device_;

  bool dtmf_enabled_;
  int32_t in_factor_;
  int32_t out_factor_;

  std::atomic<bool> req_capt_{false};
  std::atomic<bool> req_capt_back_{false};
  std::atomic<bool> req_play_{false};
  std::atomic<bool> req_stop_{false};
  std::atomic<bool> req_abort_{false};
  std::atomic<bool> dry_{true};
  // A reply counts only for the request it answers: a request that timed
  // out must not release the next one.
  std::atomic<uint32_t> request_seq_{0};
  std::atomic<uint32_t> served_seq_{0};

  int32_t in_rate_;
  int32_t out_rate_;
  TVEKAudioConvertQuality in_quality_;
  TVEKAudioConvertQuality out_quality_;
  bool out_delay_latency_;
  int32_t out_delay_const_;

  std::atomic<TVEKAudioMode> mode_{AMODE_STOP};
  std::atomic<bool> started_{false};

  std::unique_ptr<TVEKAudioStreamApi> api_;

  // Thread side only.
  TDaxBackoff reopen_{kReopenFirstMs, kReopenMaxMs};
  TTrouble capt_trouble_;
  TTrouble play_trouble_;
  TDaxRepeatGate xrun_gate_{kReportFirstMs, kReportMaxMs};  // over/underflow warnings
};
