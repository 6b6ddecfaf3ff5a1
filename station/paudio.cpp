#include "station/paudio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/texts.h"
#include "foundation/types.h"
#include "station/rate_convert.h"

namespace {

std::u16string Widen(const std::string& s) { return DaxSysTextToUnicode(s); }
std::u16string Widen(const char* s) { return DaxSysTextToUnicode(s); }


bool Ok(PaError rc, bool capture) {
  return rc == paNoError || rc == (capture ? paInputOverflowed : paOutputUnderflowed);
}

// Moves the first `got` values to the end of `n`, zeros in front: a short
// conversion result stays in time order without stale samples before it.
template <typename T>
void PadLeading(T* p, int got, int n) {
  if (got >= n) return;
  if (got > 0) std::memmove(p + (n - got), p, sizeof(T) * got);
  std::fill(p, p + (n - got), T(0));
}

}  // namespace

std::u16string VekAudioModeText(TVEKAudioMode mode) {
  switch (mode) {
    case AMODE_STOP: return u"STOP";
    case AMODE_CAPT_BACK: return u"CAPT_BACK";
    case AMODE_CAPT: return u"CAPT";
    case AMODE_PLAY: return u"PLAY";
  }
  return u"?";
}

TVEKAudioPASettings VekAudioPASettings(const TVEKAudioParams& p) {
  TVEKAudioPASettings s;
  s.MeterMode = p.MeterMode;
  s.InDevice = p.InDevice;
  s.InSampleRate = p.InSampleRate;
  s.InQuality = static_cast<TVEKAudioConvertQuality>(p.InQuality);
  s.InFactor = p.InFactor;
  s.InDtmfEnabled = p.InDtmfEnabled;
  s.InPreCapturedTime = p.InPreCapturedTime;
  s.OutDevice = p.OutDevice;
  s.OutSampleRate = p.OutSampleRate;
  s.OutQuality = static_cast<TVEKAudioConvertQuality>(p.OutQuality);
  s.OutFactor = p.OutFactor;
  s.OutBufferLimitTime = p.OutBufferLimitTime;
  s.OutDelayLatency = p.OutDelayLatency;
  s.OutDelayConst = p.OutDelayConst;
  return s;
}

int32_t VekAudioFactor(int32_t factor) {
  if (factor < 0) return 2;
  if (factor == 0) return 1;
  return std::min(factor, 5);
}

// ---------------------------------------------------------------------------
// PortAudio under the thread

double TVEKPortAudioStreamApi::DeviceLatency(PaDeviceIndex device, bool capture) {
  const PaDeviceInfo* info = PaGetDeviceInfoChecked(device);
  return capture ? info->defaultLowInputLatency : info->defaultHighOutputLatency;
}

PaStream* TVEKPortAudioStreamApi::Open(const PaStreamParameters& params, bool capture,
                                       double rate, unsigned long frames_per_buffer) {
  PaStream* s = nullptr;
  PaOpenStreamChecked(&s, capture ? &params : nullptr, capture ? nullptr : &params, rate,
                      frames_per_buffer, paClipOff, nullptr, nullptr);
  return s;
}

double TVEKPortAudioStreamApi::StreamLatency(PaStream* stream, bool capture) {
  const PaStreamInfo* info = PaGetStreamInfoChecked(stream);
  return capture ? info->inputLatency : info->outputLatency;
}

void TVEKPortAudioStreamApi::Start(PaStream* stream) { PaStartStreamChecked(stream); }
PaError TVEKPortAudioStreamApi::Stop(PaStream* stream) { return Pa_StopStream(stream); }
PaError TVEKPortAudioStreamApi::Abort(PaStream* stream) { return Pa_AbortStream(stream); }
PaError TVEKPortAudioStreamApi::Close(PaStream* stream) { return Pa_CloseStream(stream); }
PaError TVEKPortAudioStreamApi::Read(PaStream* stream, int16_t* buffer, unsigned long frames) {
  return Pa_ReadStream(stream, buffer, frames);
}
PaError TVEKPortAudioStreamApi::Write(PaStream* stream, const int16_t* buffer,
                                      unsigned long frames) {
  return Pa_WriteStream(stream, buffer, frames);
}
uint32_t TVEKPortAudioStreamApi::TickMs() { return DaxTickMs(); }

// ---------------------------------------------------------------------------
// Creation

TVEKAudioPA::TVEKAudioPA(TVEKAudioRT* rt, TDaxPoolBuffers* pool,
                         const TVEKAudioPASettings& s, TCreatedProc on_created,
                         std::unique_ptr<TVEKAudioStreamApi> api)
    : rt_(rt),
      pool_(pool),
      in_device_(s.InDevice),
      out_device_(s.OutDevice),
      dtmf_enabled_(s.InDtmfEnabled),
      in_factor_(VekAudioFactor(s.InFactor)),
      out_factor_(VekAudioFactor(s.OutFactor)),
      in_rate_(s.InSampleRate),
      out_rate_(s.OutSampleRate),
      in_quality_(s.InQuality),
      out_quality_(s.OutQuality),
      out_delay_latency_(s.OutDelayLatency),
      out_delay_const_(s.OutDelayConst),
      api_(api ? std::move(api) : std::make_unique<TVEKPortAudioStreamApi>()) {
  SetLevelMode(s.MeterMode);
  SetPreRollMs(s.InPreCapturedTime);
  int32_t limit = s.OutBufferLimitTime < 0 ? 1200 : std::clamp(s.OutBufferLimitTime, 400, 3000);
  SetPlayLimitMs(limit);
  // CreateObjects
  cmd_waiter_ = std::make_unique<TWaiter2Socket>(0);
  reply_waiter_ = std::make_unique<TWaiter2Socket>(0);
  dtmf_ = std::make_unique<TDTMFDecoder>(8000);
  tones_ = std::make_unique<TToneFifo>(8);
  // The buffers for the largest geometry, so that opening at the usual
  // rates allocates nothing.
  float_a_.resize(kMaxBlocks * kBlockSamples);
  float_b_.resize(kMaxBlocks * 48000 / 25);
  buf8k_.resize(kMaxBlocks * kBlockSamples);
  dev_.resize(kMaxBlocks * 48000 / 25);
  if (on_created) on_created(this);
  Start();
}

TVEKAudioPA::~TVEKAudioPA() {
  if (!Finished()) Stop();
  WaitFor();
  tones_.reset();
  dtmf_.reset();
  cmd_waiter_.reset();
  reply_waiter_.reset();
  ReturnQueued();
  FreeConverter();
}

void TVEKAudioPA::Stop() {
  Terminate();
  if (cmd_waiter_) cmd_waiter_->Signal();
}

// ---------------------------------------------------------------------------
// Setters and conversions of counts

void TVEKAudioPA::SetPreRollMs(int32_t ms) {
  ms = std::clamp(ms, 0, 1000);
  preroll_blocks_ = (ms + 20) / 40;
}

void TVEKAudioPA::SetPlayLimitMs(int32_t ms) {
  play_limit_blocks_ = ms <= 0 ? 0 : (ms + 20) / 40;
}

void TVEKAudioPA::SetLevelMode(int32_t mode) { level_mode_ = (mode >= 0 && mode <= 3) ? mode : 0; }

int32_t TVEKAudioPA::PlayMsToBuffers(int32_t ms) const {
  int32_t b = out_factor_ * 40;
  return (ms + b / 2) / b;
}
int32_t TVEKAudioPA::RoundToPlayBufferMs(int32_t ms) const {
  return out_factor_ * 40 * PlayMsToBuffers(ms);
}
int32_t TVEKAudioPA::PlayBuffersToMs(int32_t n) const { return n * out_factor_ * 40; }
int32_t TVEKAudioPA::CaptBuffersToMs(int32_t n) const { return n * in_factor_ * 40; }

bool TVEKAudioPA::PopDtmfTone(char& tone) {
  void* item = nullptr;
  if (!tones_->Pop(item)) return false;
  tone = static_cast<char>(reinterpret_cast<uintptr_t>(item));
  return true;
}

void TVEKAudioPA::TakeSkipCounters(int32_t& dropped_by_limit, int32_t& dropped_by_overflow) {
  dropped_by_limit = dropped_by_limit_.exchange(0);
  dropped_by_overflow = dropped_by_overflow_.exchange(0);
}

// ---------------------------------------------------------------------------
// Reports

void TVEKAudioPA::ReportError(const std::u16string& text) {
  if (OnErrorText) {
    OnErrorText(text);
    return;
  }
  throw Exception(DaxHookUnicodeToSys ? DaxHookUnicodeToSys(text) : DaxUnicodeToAnsiRaw(text));
}

void TVEKAudioPA::Warning(const std::u16string& text) {
  if (OnWarningText) OnWarningText(text);
}

void TVEKAudioPA::ModeError(const char* op, const char* allowed) {
  ReportError(Widen(op) + u": mode is " + VekAudioModeText(mode_) + u"; must be " + Widen(allowed));
}

// ---------------------------------------------------------------------------
// Engine side

void TVEKAudioPA::ReturnQueued() {
  // The pool's ring is sized for every block, so all of them fit back.
  while (queue_.Count() > 0) {
    if (pool_->Buffers().MoveAllFrom(queue_) == 0) break;
  }
}

void TVEKAudioPA::FlushQueue() {
  ReturnQueued();
  dry_ = true;
}

int TVEKAudioPA::TrimCaptureQueue() {
  int surplus = queue_.Count() - preroll_blocks_;
  if (surplus <= 0) return 0;
  return pool_->Buffers().MoveFrom(queue_, surplus);
}

bool TVEKAudioPA::Request(std::atomic<bool>& flag, uint32_t wait_ms, const char* tag) {
  reply_waiter_->ClearSignal();
  flag = true;
  uint32_t seq = request_seq_.fetch_add(1) + 1;
  cmd_waiter_->Signal();
  // The reply wait is the waiter's real time, whatever clock the stream has.
  uint32_t start = DaxTickMs();
  for (;;) {
    uint32_t spent = DaxTickMs() - start;
    if (static_cast<int32_t>(served_seq_.load() - seq) >= 0) return true;
    if (spent >= wait_ms) break;
    TWaiterResult r = reply_waiter_->WaitOne(wait_ms - spent);
    if (static_cast<int32_t>(served_seq_.load() - seq) >= 0) return true;
    if (r == wr_Timeout) break;
  }
  ReturnQueued();
  Warning(Widen(tag) + u": timeout: " + DaxIntToStrW(wait_ms));
  if (OnHardwareFailure) OnHardwareFailure();
  return false;
}

int TVEKAudioPA::LookupDevice(bool capture, std::u16string& failure) {
  int index;
  int count;
  const std::u16string& name = capture ? in_device_ : out_device_;
  {
    auto g = rt_->Lock();
    rt_->RefreshDevices();
    if (capture) {
      index = rt_->FindInputDevice(name);
      if (index < 0) index = rt_->FindInputDeviceAlt(DaxTrimControlW(name));
      count = rt_->GetInputDeviceCount();
    } else {
      index = rt_->FindOutputDevice(name);
      if (index < 0) index = rt_->FindOutputDeviceAlt(DaxTrimW(name));
      count = rt_->GetOutputDeviceCount();
    }
  }
  device_index_ = index;
  failure.clear();
  if (index >= 0) return index;
  if (count == 0)
    failure = capture ? u"No any available capture(input) audio devices in the system"
                      : u"No any available playback(output) audio devices in the system";
  else if (name.empty())
    failure = capture ? u"Capture(input) audio device not specified"
                      : u"Playback(output) audio device not specified";
  else
    failure = (capture ? u"Capture(input) audio device not found: "
                       : u"Playback(output) audio device not found: ") +
              VekQuoteIfSpaces(name);
  return index;
}

int TVEKAudioPA::LookupAndReport(bool capture) {
  std::u16string failure;
  const int index = LookupDevice(capture, failure);
  if (index < 0) ReportError(failure);
  return index;
}

void TVEKAudioPA::CaptStart() {
  switch (mode_.load()) {
    case AMODE_CAPT:
      return;
    case AMODE_PLAY:
      ModeError("CaptStart", "STOP or CAPT_BACK");
      return;
    case AMODE_CAPT_BACK:
      start_delay_req_ = start_delay_left_ = start_delay_blocks_ = 0;
      mode_ = AMODE_CAPT;
      cmd_waiter_->Signal();
      return;
    case AMODE_STOP: {
      start_delay_req_ = start_delay_left_ = start_delay_blocks_ = 0;
      int index = LookupAndReport(true);
      mode_ = AMODE_CAPT;
      // Without a device the thread keeps looking by itself.
      if (index >= 0) Request(req_capt_, 1000, "HW_START_CAPT");
      else cmd_waiter_->Signal();
      return;
    }
  }
}

void TVEKAudioPA::CaptStartBack() {
  switch (mode_.load()) {
    case AMODE_CAPT_BACK:
      return;
    case AMODE_PLAY:
      ReturnQueued();
      ModeError("CaptStartBack", "STOP or CAPT");
      return;
    case AMODE_CAPT:
      ReturnQueued();
      start_delay_req_ = start_delay_left_ = start_delay_blocks_ = 0;
      mode_ = AMODE_CAPT_BACK;
      return;
    case AMODE_STOP: {
      ReturnQueued();
      start_delay_req_ = start_delay_left_ = start_delay_blocks_ = 0;
      dry_ = true;
      int index = LookupAndReport(true);
      mode_ = AMODE_CAPT_BACK;
      if (index >= 0) Request(req_capt_back_, 1000, "HW_START_CAPT_BACK");
      else cmd_waiter_->Signal();
      return;
    }
  }
}

void TVEKAudioPA::CaptStop() {
  TVEKAudioMode m = mode_;
  ReturnQueued();
  dry_ = true;
  if (m == AMODE_STOP) return;
  if (m == AMODE_PLAY) {
    ModeError("CaptStop", "CAPT or CAPT_BACK");
    return;
  }
  if (device_index_ >= 0 && stream_.load() != nullptr)
    Request(req_stop_, 3 * in_factor_ * 40 + latency_ms_ + 500, "HW_STOP_CAPT");
  mode_ = AMODE_STOP;
  ReturnQueued();
  dry_ = true;
}

void TVEKAudioPA::PlayStart(int32_t start_delay_ms, int32_t play_limit_ms) {
  dry_ = true;
  if (mode_ != AMODE_STOP) {
    ModeError("PlayStart", "STOP");
    return;
  }
  pending_skip_ = 0;
  int index = LookupAndReport(false);
  mode_ = AMODE_PLAY;
  if (index < 0) {
    start_delay_req_ = start_delay_blocks_ = 0;
    cmd_waiter_->Signal();
    return;
  }
  int32_t buffers = std::max(PlayMsToBuffers(start_delay_ms), 0);
  start_delay_req_ = buffers;
  start_delay_blocks_ = out_factor_ * buffers;
  SetPlayLimitMs(play_limit_ms);
  Request(req_play_, 1000, "HW_START_PLAY");
  if (stream_.load() == nullptr) {
    ReturnQueued();
    dry_ = true;
    SetLevel(kLevelPlayEmpty);
    RaisePlayLevel();
  } else {
    cmd_waiter_->Signal();
  }
}

void TVEKAudioPA::PlayStop() {
  TVEKAudioMode m = mode_;
  ReturnQueued();
  dry_ = true;
  if (m == AMODE_STOP) return;
  if (m != AMODE_PLAY) {
    ModeError("PlayStop", "PLAY");
    return;
  }
  if (device_index_ >= 0 && stream_.load() != nullptr)
    Request(req_abort_, 3 * out_factor_ * 40 + latency_ms_ + 500, "HW_STOP_PLAY");
  mode_ = AMODE_STOP;
  ReturnQueued();
  dry_ = true;
}

void TVEKAudioPA::StopCurrent() {
  switch (mode_.load()) {
    case AMODE_CAPT:
    case AMODE_CAPT_BACK: CaptStop(); break;
    case AMODE_PLAY: PlayStop(); break;
    case AMODE_STOP: break;
  }
}

void TVEKAudioPA::PlayPCMArray(void* const* blocks, int count) {
  if (count <= 0) return;
  TDaxBufferPtr& free_ring = pool_->Buffers();
  auto give_back = [&](void* const* p, int n) {
    int done = free_ring.PushMany(p, n);
    (void)done;
  };
  if (mode_ != AMODE_PLAY) {
    give_back(blocks, count);
    ModeError("PlayPCMArray", "PLAY");
    return;
  }
  if (device_index_ < 0) {
    give_back(blocks, count);
    return;
  }
  int32_t limit = play_limit_blocks_;
  if (limit > 0) {
    int32_t skip = std::min<int32_t>(pending_skip_, count);
    if (skip > 0) {
      give_back(blocks, skip);
      pending_skip_ -= skip;
      dropped_by_limit_ += skip;
      blocks += skip;
      count -= skip;
      if (count == 0) return;
    }
    int32_t allowed = limit + start_delay_blocks_ + 2;
    int32_t total = queue_.Count() + count;
    if (total > allowed) {
      int32_t excess = (total - allowed + 4) / 5 * 5;
      int32_t drop = std::min(excess, count);
      give_back(blocks, drop);
      dropped_by_limit_ += drop;
      pending_skip_ += excess - drop;
      blocks += drop;
      count -= drop;
      if (count == 0) return;
    }
  }
  int pushed = queue_.PushMany(blocks, count);
  if (pushed > 0) {
    dry_ = false;
    cmd_waiter_->Signal();
  }
  if (pushed < count) {
    give_back(blocks + pushed, count - pushed);
    dropped_by_overflow_ += count - pushed;
  }
}

// ---------------------------------------------------------------------------
// Thread side

bool TVEKAudioPA::AnyRequest() const {
  return req_abort_ || req_stop_ || req_capt_ || req_capt_back_ || req_play_;
}

void TVEKAudioPA::ServeRequests() {
  // Every request whose number is below this snapshot has its byte visible.
  uint32_t seq = request_seq_.load();
  if (req_abort_.exchange(false)) {
    SetLevel(kLevelPlayDelay);
    RaisePlayLevel();
    AbortStream();
  }
  if (req_stop_.exchange(false)) {
    StopStream();
    SetLevel(0);
    RaiseCaptureLevel();
  }
  if (req_capt_.exchange(false)) {
    SetLevel(0);
    RaiseCaptureLevel();
    OpenStream(true);
  }
  if (req_capt_back_.exchange(false)) {
    SetLevel(0);
    RaiseCaptureLevel();
    OpenStream(true);
  }
  if (req_play_.exchange(false)) {
    SetLevel(0);
    RaisePlayLevel();
    OpenStream(false);
  }
  if (served_seq_.load() != seq) {
    served_seq_ = seq;
    reply_waiter_->Signal();
  }
}

void TVEKAudioPA::Execute() {
  started_ = true;
  while (!Terminated()) {
    try {
      ServeRequests();
      if (Terminated()) break;
      if (stream_.load() == nullptr) {
        if (AnyRequest()) continue;
        RetryOrWait();
        continue;
      }
      TVEKAudioMode m = mode_;
      if (m == AMODE_STOP) AbortStream();
      else if (m == AMODE_PLAY) PlaybackStep();
      else CaptureStep();
    } catch (const std::exception& e) {
      try {
        const auto* own = dynamic_cast<const Exception*>(&e);
        ReportError(u"thread loop: " + Widen(own ? own->Message() : std::string(e.what())));
      } catch (...) {
        // No handler to report to: the loop goes on regardless.
      }
    }
  }
  try {
    AbortStream();
  } catch (...) {
  }
}

void TVEKAudioPA::FreeConverter() {
  DaxSrcFree(src_);
  if (resampler_ != nullptr) vekrs::resample_release(&resampler_);
  convert_kind_ = VEK_CONVERT_NONE;
}

void TVEKAudioPA::OpenStream(bool capture) {
  // A request that timed out may have left a stream behind (its open came
  // late); it must not be overwritten and leak the device.
  if (stream_.load() != nullptr) AbortStream();
  int device = device_index_;
  if (device < 0) return;
  dropped_by_limit_ = 0;
  dropped_by_overflow_ = 0;
  over_under_ = 0;
  dtmf_->Reset();
  try {
    double latency = api_->DeviceLatency(device, capture);
    if (latency < 0) latency = 0;
    latency_ms_ = static_cast<int32_t>(std::lround(latency * 1000));
    PaStreamParameters params = PaMakeStreamParameters(device, 1, paInt16, latency);

    int32_t rate = capture ? in_rate_ : out_rate_;
    blocks_ = capture ? in_factor_ : out_factor_;
    ms_per_buffer_ = blocks_ * 40;
    dev_frames_per_block_ = rate / 25;
    dev_frames_ = blocks_ * dev_frames_per_block_;
    dev_bytes_ = dev_frames_ * 2;
    samples8k_ = blocks_ * kBlockSamples;
    bytes8k_ = samples8k_ * 2;
    // A rate that gives no whole frame per 40 ms cannot carry blocks.
    if (dev_frames_ < 1) throw EPortAudioException(PaOpenErrorText(paInvalidSampleRate, rate));
    if (static_cast<size_t>(dev_frames_) > dev_.size()) {
      dev_.resize(dev_frames_);
      float_b_.resize(dev_frames_);
    }

    PaStream* s = api_->Open(params, capture, rate, static_cast<unsigned long>(dev_frames_));
    try {
      double lat = api_->StreamLatency(s, capture);
      if (lat < 0) lat = 0;
      latency_ms_ = static_cast<int32_t>(std::lround(lat * 1000));
      int32_t drain = 0;
      if (!capture) {
        if (out_delay_latency_) drain += latency_ms_;
        if (out_delay_const_ > 0) drain += out_delay_const_;
      }
      drain_ms_ = drain;

      FreeConverter();
      if (rate != 8000) {
        TVEKConvertChoice c = VekConvertChoice(capture ? in_quality_ : out_quality_);
        ratio_ = static_cast<float>(capture ? 8000.0 / rate : rate / 8000.0);
        convert_param_ = c.Param;
        if (c.Kind == VEK_CONVERT_RESAMPLER) {
          int code = vekrs::resample_open(c.Param, &resampler_, ratio_, ratio_);
          if (code != 0) throw Exception("resample_open: " + std::string(vekrs::resample_error_text(code)));
        } else if (c.Kind == VEK_CONVERT_SAMPLERATE) {
          int err = 0;
          src_ = src_new(c.Param, 1, &err);
          if (src_ == nullptr) throw Exception("SRC_new: " + std::string(src_strerror(err)));
        } else {
          throw Exception("Resample mode {3}");
        }
        convert_kind_ = c.Kind;
      }
      api_->Start(s);
      stream_ = s;
      if (!capture) {
        start_delay_left_ = start_delay_req_.load();
        dry_ = start_delay_left_ < 1;
        start_delay_req_ = 0;
      }
    } catch (...) {
      FreeConverter();
      api_->Close(s);
      stream_ = nullptr;
      throw;
    }
  } catch (const std::exception& e) {
    device_index_ = -1;
    reopen_.Failed(api_->TickMs());
    const auto* own = dynamic_cast<const Exception*>(&e);
    ReportRepeated(capture, false, (capture ? u"CAPT: " : u"PLAY: ") +
                                       Widen(own ? own->Message() : std::string(e.what())));
  }
}

void TVEKAudioPA::StopStream() {
  ReturnQueued();
  dry_ = true;
  PaStream* s = stream_.load();
  if (s != nullptr) {
    PaError rc = api_->Stop(s);
    if (rc != paNoError) ReportError(u"Pa_StopStream: " + PaErrorTextW(rc));
    rc = api_->Close(s);
    if (rc != paNoError) ReportError(u"Pa_CloseStream: " + PaErrorTextW(rc));
    stream_ = nullptr;
  }
  FreeConverter();
}

void TVEKAudioPA::AbortStream() {
  ReturnQueued();
  dry_ = true;
  PaStream* s = stream_.load();
  if (s != nullptr) {
    api_->Abort(s);
    api_->Close(s);
    stream_ = nullptr;
  }
  FreeConverter();
}

void TVEKAudioPA::TrimQueueTo(int keep) {
  int surplus = queue_.Count() - keep;
  if (surplus > 0) pool_->Buffers().MoveFrom(queue_, surplus);
}

void TVEKAudioPA::CountOverUnder(bool capture) {
  if (++over_under_ < 2) return;
  over_under_ = 0;
  // A card on a failing link can do this every few buffers.
  uint32_t held = 0;
  if (!xrun_gate_.Pass(api_->TickMs(), held)) return;
  Warning(capture ? u"read overflowed (system too slow?)" : u"write underflowed (system too slow?)");
  if (held > 0)
    Warning((capture ? u"CAPT: " : u"PLAY: ") + DaxIntToStrW(held) +
            u" more of these warnings since the last report");
}

void TVEKAudioPA::ConvertCapture() {
  const int n = samples8k_;
  switch (convert_kind_) {
    case VEK_CONVERT_RESAMPLER: {
      DaxSmallIntToFloatArray(dev_.data(), float_b_.data(), dev_frames_);
      int used = 0, code = 0;
      int got = vekrs::resample_process(resampler_, ratio_, float_b_.data(), dev_frames_, 0, &used,
                                        float_a_.data(), n, &code);
      if (got < 0) {
        std::fill(buf8k_.begin(), buf8k_.begin() + n, 0);
        ReportError(u"CAPT: resample_process: " + DaxResamplerErrorText(code));
        return;
      }
      if (got > n) throw Exception("CAPT: resample_process: wrong output frames count");
      if (used != dev_frames_) throw Exception("CAPT: resample_process: wrong input frames count");
      PadLeading(float_a_.data(), got, n);
      DaxFloatToSmallIntArray(float_a_.data(), buf8k_.data(), n);
      return;
    }
    case VEK_CONVERT_SAMPLERATE: {
      DaxSmallIntToFloatScaled(dev_.data(), float_b_.data(), dev_frames_);
      src_set_data(&src_data_, float_b_.data(), float_a_.data(), dev_frames_, n, 0, ratio_);
      int err = src_process(src_, &src_data_);
      if (err != 0) {
        std::fill(buf8k_.begin(), buf8k_.begin() + n, 0);
        ReportError(u"CAPT: SRC_process2: " + DaxSrcErrorText(err));
        return;
      }
      long used = 0, gen = 0;
      src_get_data_result(&src_data_, &used, &gen);
      PadLeading(float_a_.data(), static_cast<int>(gen), n);
      DaxFloatToSmallIntScaled(float_a_.data(), buf8k_.data(), n);
      return;
    }
    default:
      throw Exception("Resample mode {4}");
  }
}

void TVEKAudioPA::CaptureStep() {
  TrimQueueTo(kBackQueueBlocks);
  int16_t* target = in_rate_ == 8000 ? buf8k_.data() : dev_.data();
  PaError rc = api_->Read(stream_.load(), target, static_cast<unsigned long>(dev_frames_));
  if (Terminated()) return;
  if (!Ok(rc, true)) {
    ReportRepeated(true, true, u"Pa_ReadStream: " + PaErrorTextW(rc));
    AbortStream();
    SetLevel(0);
    RaiseCaptureLevel();
    ReopenAfterError(true);
    return;
  }
  WorksAgain(true);
  if (rc == paInputOverflowed) CountOverUnder(true);
  if (in_rate_ != 8000) ConvertCapture();

  const int n = samples8k_;
  uint32_t level = static_cast<uint32_t>((level_mode_ & 1) ? DaxLevelRms(buf8k_.data(), n)
                                                           : DaxPeakInt16(buf8k_.data(), n));
  SetLevel(level);

  if (dtmf_enabled_) {
    int whole = n / kBlockSamples;
    for (int i = 0; i < whole; ++i) {
      dtmf_->Process(buf8k_.data() + i * kBlockSamples, kBlockSamples);
      char digit = 0;
      if (dtmf_->Detect(digit) && OnDtmfTone) {
        tones_->Push(reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<unsigned char>(digit))));
        OnDtmfTone();
      }
    }
    int rest = n % kBlockSamples;
    if (rest != 0) Warning(u"dtmf samples count: " + DaxIntToStrW(rest));
  }

  int got = pool_->Buffers().PopMany(block_ptrs_, blocks_);
  if (got < blocks_ && OnPoolUnderflow) OnPoolUnderflow();
  for (int i = 0; i < got; ++i)
    std::memcpy(block_ptrs_[i], buf8k_.data() + i * kBlockSamples, kBlockBytes);

  int room = queue_.Capacity() - queue_.Count();
  if (room < got) pool_->Buffers().MoveFrom(queue_, got);
  int pushed = queue_.PushMany(block_ptrs_, got);
  if (pushed < got) pool_->Buffers().PushMany(block_ptrs_ + pushed, got - pushed);
  if (mode_ == AMODE_CAPT) SetLevel(level_word_.load() + kLevelPlayEmpty);
  else TrimQueueTo(kBackQueueBlocks);
  RaiseCaptureLevel();
}

void TVEKAudioPA::ConvertPlayback(bool silence) {
  const int n = samples8k_;
  switch (convert_kind_) {
    case VEK_CONVERT_RESAMPLER: {
      DaxSmallIntToFloatArray(buf8k_.data(), float_a_.data(), n);
      int used = 0, code = 0;
      int got = vekrs::resample_process(resampler_, ratio_, float_a_.data(), n, 0, &used,
                                        float_b_.data(), dev_frames_, &code);
      if (got < 0) {
        std::fill(dev_.begin(), dev_.begin() + dev_frames_, 0);
        ReportError((silence ? u"resample_process1: " : u"PLAY: resample_process: ") +
                    DaxResamplerErrorText(code));
        return;
      }
      if (got > dev_frames_)
        throw Exception(silence ? "resample_process: wrong var frames count"
                                : "PLAY: resample_process: wrong output frames count");
      PadLeading(float_b_.data(), got, dev_frames_);
      DaxFloatToSmallIntArray(float_b_.data(), dev_.data(), dev_frames_);
      return;
    }
    case VEK_CONVERT_SAMPLERATE: {
      DaxSmallIntToFloatScaled(buf8k_.data(), float_a_.data(), n);
      src_set_data(&src_data_, float_a_.data(), float_b_.data(), n, dev_frames_, 0, ratio_);
      int err = src_process(src_, &src_data_);
      if (err != 0) {
        std::fill(dev_.begin(), dev_.begin() + dev_frames_, 0);
        ReportError((silence ? u"SRC_process1: " : u"PLAY: SRC_process3: ") + DaxSrcErrorText(err));
        return;
      }
      long used = 0, gen = 0;
      src_get_data_result(&src_data_, &used, &gen);
      PadLeading(float_b_.data(), static_cast<int>(gen), dev_frames_);
      DaxFloatToSmallIntScaled(float_b_.data(), dev_.data(), dev_frames_);
      return;
    }
    default:
      throw Exception(silence ? "Resample Mode{1}" : "Resample mode {5}");
  }
}

// Writes buf8k_ (converted when the card runs at another rate).
PaError TVEKAudioPA::WriteBuffer(bool stamp) {
  const int16_t* src = buf8k_.data();
  if (out_rate_ != 8000) src = dev_.data();
  if (stamp) last_write_tick_ = api_->TickMs();
  PaError rc = api_->Write(stream_.load(), src, static_cast<unsigned long>(dev_frames_));
  if (rc == paOutputUnderflowed) CountOverUnder(false);
  if (Ok(rc, false)) WorksAgain(false);
  return rc;
}

void TVEKAudioPA::HandleWriteError(PaError rc) {
  ReportRepeated(false, true, u"Pa_WriteStream: " + PaErrorTextW(rc));
  AbortStream();
  SetLevel(kLevelPlayDelay);
  RaisePlayLevel();
  ReopenAfterError(false);
  SetLevel(kLevelPlayDelay);
  if (stream_.load() == nullptr) {
    ReturnQueued();
    dry_ = true;
    SetLevel(kLevelPlayReopenFailed);
  }
  RaisePlayLevel();
}

void TVEKAudioPA::PlaybackStep() {
  const int n = samples8k_;
  if (start_delay_left_ > 0) {
    std::fill(buf8k_.begin(), buf8k_.begin() + n, 0);
    if (out_rate_ != 8000) ConvertPlayback(true);
    PaError rc = WriteBuffer(true);
    if (Ok(rc, false)) {
      --start_delay_left_;
      SetLevel(kLevelPlayDelay);
      RaisePlayLevel();
    } else {
      start_delay_left_ = 0;
      HandleWriteError(rc);
    }
    return;
  }

  if (queue_.Count() > 0) {
    int taken = queue_.PopMany(block_ptrs_, blocks_);
    // What the queue could not give is silence: the blocks taken always go
    // back to the pool, whatever the pool holds.
    for (int i = 0; i < taken; ++i)
      std::memcpy(buf8k_.data() + i * kBlockSamples, block_ptrs_[i], kBlockBytes);
    std::fill(buf8k_.begin() + taken * kBlockSamples, buf8k_.begin() + n, 0);
    pool_->Buffers().PushMany(block_ptrs_, taken);
    SetLevel(static_cast<uint32_t>((level_mode_ & 1) ? DaxLevelRms(buf8k_.data(), n)
                                                     : DaxPeakInt16(buf8k_.data(), n)));
    if (req_abort_) return;
    if (out_rate_ != 8000) ConvertPlayback(false);
    PaError rc = WriteBuffer(true);
    if (Ok(rc, false)) RaisePlayLevel();
    else HandleWriteError(rc);
    return;
  }

  std::fill(buf8k_.begin(), buf8k_.begin() + n, 0);
  if (out_rate_ != 8000) ConvertPlayback(true);
  PaError rc = WriteBuffer(false);
  if (Terminated()) return;
  if (!Ok(rc, false)) {
    HandleWriteError(rc);
    return;
  }
  if (queue_.Count() < blocks_) {
    uint32_t since = api_->TickMs() - last_write_tick_.load();
    if (since < static_cast<uint32_t>(drain_ms_.load())) {
      SetLevel(kLevelPlayIdle);
    } else {
      dry_ = true;
      SetLevel(kLevelPlayDry);
    }
  } else {
    SetLevel(kLevelPlayIdle);
  }
  RaisePlayLevel();
}
