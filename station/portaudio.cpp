#include "station/portaudio.h"

#include <charconv>
#include <cstring>

#include "foundation/charset.h"
#include "foundation/stderr_silencer.h"
#include "foundation/types.h"

namespace {

// "{" followed by digits forming a number above 0.
bool IsNumbered(const std::u16string& name) {
  size_t brace = name.find(u'{');
  if (brace == std::u16string::npos) return false;
  bool any = false, positive = false;
  for (size_t i = brace + 1; i < name.size() && name[i] >= u'0' && name[i] <= u'9'; ++i) {
    any = true;
    if (name[i] != u'0') positive = true;
  }
  return any && positive;
}


void MakeDisplayNames(TPaRTNamesArr& table) {
  std::vector<std::u16string> full;
  full.reserve(table.size());
  for (const auto& r : table) full.push_back(r.FullName);
  auto unique = VekMakeUniqueDeviceNames(full);
  for (size_t i = 0; i < table.size(); ++i) table[i].DisplayName = unique[i];
}

int FindIn(const TPaRTNamesArr& table, const std::u16string& name,
           std::u16string TPaRTNameRec::*field) {
  for (const auto& r : table)
    if (r.*field == name) return r.DeviceIndex;
  return -1;
}

std::vector<std::u16string> NamesOf(const TPaRTNamesArr& table) {
  std::vector<std::u16string> names;
  names.reserve(table.size());
  for (const auto& r : table) names.push_back(r.DisplayName);
  return names;
}

}  // namespace

bool VekAcceptedHostApi(const char* name) {
  return name != nullptr && (std::strcmp(name, "OSS") == 0 || std::strcmp(name, "ALSA") == 0);
}

std::vector<std::u16string> VekMakeUniqueDeviceNames(const std::vector<std::u16string>& names) {
  std::vector<std::u16string> out = names;
  std::vector<bool> numbered(out.size());
  for (size_t i = 0; i < out.size(); ++i) numbered[i] = IsNumbered(out[i]);
  for (size_t k = 0; k < out.size(); ++k) {
    if (numbered[k]) continue;
    const std::u16string name = out[k];
    bool repeated = false;
    for (size_t j = k + 1; j < out.size() && !repeated; ++j)
      repeated = !numbered[j] && out[j] == name;
    if (!repeated) continue;
    int n = 0;
    for (size_t j = k; j < out.size(); ++j) {
      if (numbered[j] || out[j] != name) continue;
      out[j] = name + u" {" + DaxIntToStrW(++n) + u"}";
      numbered[j] = true;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------

TVEKAudioRT::TVEKAudioRT() {
  int saved = DaxSilenceStdErr();
  try {
    init_result_ = Pa_Initialize();
  } catch (...) {
    DaxRestoreStdErr(saved);
    throw;
  }
  DaxRestoreStdErr(saved);
  if (init_result_ != paNoError) throw EPortAudioException(PaErrorText(init_result_));
  RefreshDevices();
}

TVEKAudioRT::~TVEKAudioRT() {
  {
    auto g = Lock();
    capture_.clear();
    playback_.clear();
  }
  if (init_result_ == paNoError) Pa_Terminate();
}

void TVEKAudioRT::RefreshDevices() {
  auto g = Lock();
  capture_.clear();
  playback_.clear();
  PaHostApiIndex apis = Pa_GetHostApiCount();
  for (PaHostApiIndex a = 0; a < apis; ++a) {
    const PaHostApiInfo* api = Pa_GetHostApiInfo(a);
    if (api == nullptr || !VekAcceptedHostApi(api->name)) continue;
    std::u16string api_name = DaxSysTextToUnicode(api->name);
    for (int d = 0; d < api->deviceCount; ++d) {
      PaDeviceIndex index = Pa_HostApiDeviceIndexToDeviceIndex(a, d);
      if (index < 0) continue;
      const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
      if (info == nullptr) continue;
      TPaRTNameRec r;
      r.HostApiIndex = static_cast<uint16_t>(a);
      r.HostApiDeviceIndex = static_cast<uint16_t>(d);
      r.DeviceIndex = static_cast<int16_t>(index);
      r.HostApiName = api_name;
      r.DeviceName = DaxSysTextToUnicode(info->name);
      r.TrimmedName = DaxTrimW(r.DeviceName);
      r.FullName = api_name + u":" + r.DeviceName;
      r.FullTrimmedName = api_name + u":" + r.TrimmedName;
      if (info->maxInputChannels > 0) capture_.push_back(r);
      if (info->maxOutputChannels > 0) playback_.push_back(r);
    }
  }
  MakeDisplayNames(capture_);
  MakeDisplayNames(playback_);
}

std::vector<std::u16string> TVEKAudioRT::GetInputDeviceNames() const {
  auto g = Lock();
  return NamesOf(capture_);
}
std::vector<std::u16string> TVEKAudioRT::GetOutputDeviceNames() const {
  auto g = Lock();
  return NamesOf(playback_);
}
int TVEKAudioRT::GetInputDeviceCount() const {
  auto g = Lock();
  return static_cast<int>(capture_.size());
}
int TVEKAudioRT::GetOutputDeviceCount() const {
  auto g = Lock();
  return static_cast<int>(playback_.size());
}
int TVEKAudioRT::FindInputDevice(const std::u16string& name) const {
  auto g = Lock();
  return FindIn(capture_, name, &TPaRTNameRec::DisplayName);
}
int TVEKAudioRT::FindOutputDevice(const std::u16string& name) const {
  auto g = Lock();
  return FindIn(playback_, name, &TPaRTNameRec::DisplayName);
}
int TVEKAudioRT::FindInputDeviceAlt(const std::u16string& name) const {
  auto g = Lock();
  return FindIn(capture_, name, &TPaRTNameRec::FullTrimmedName);
}
int TVEKAudioRT::FindOutputDeviceAlt(const std::u16string& name) const {
  auto g = Lock();
  return FindIn(playback_, name, &TPaRTNameRec::FullTrimmedName);
}
TPaRTNamesArr TVEKAudioRT::InputDevices() const {
  auto g = Lock();
  return capture_;
}
TPaRTNamesArr TVEKAudioRT::OutputDevices() const {
  auto g = Lock();
  return playback_;
}

// ---------------------------------------------------------------------------

std::string PaErrorText(PaError code) {
  const char* t = Pa_GetErrorText(code);
  return t ? std::string(t) : std::string();
}

std::u16string PaErrorTextW(PaError code) { return DaxSysTextToUnicode(Pa_GetErrorText(code)); }

const PaDeviceInfo* PaGetDeviceInfoChecked(PaDeviceIndex index) {
  const PaDeviceInfo* info = index >= 0 ? Pa_GetDeviceInfo(index) : nullptr;
  if (info == nullptr) throw EPortAudioException("invalid device index");
  return info;
}

std::string PaHostErrorSuffix(PaHostApiTypeId type, long code, const char* text) {
  std::string name;
  // A host API that is not compiled in gives a negative index: no name then.
  PaHostApiIndex api = Pa_HostApiTypeIdToHostApiIndex(type);
  if (api >= 0) {
    const PaHostApiInfo* info = Pa_GetHostApiInfo(api);
    if (info != nullptr && info->name != nullptr) name = info->name;
  }
  std::string s = "; " + name + ": error " + std::to_string(code);
  if (text != nullptr && *text != '\0') s += std::string(": ") + text;
  return s;
}

std::string PaOpenErrorText(PaError code, double sample_rate) {
  std::string text = PaErrorText(code);
  if (code == paUnanticipatedHostError) {
    const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
    if (host != nullptr) text += PaHostErrorSuffix(host->hostApiType, host->errorCode, host->errorText);
  } else if (code == paInvalidSampleRate) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, sample_rate);
    text += ": " + std::string(buf, r.ptr);
  }
  return text;
}

void PaOpenStreamChecked(PaStream** stream, const PaStreamParameters* input,
                         const PaStreamParameters* output, double sample_rate,
                         unsigned long frames_per_buffer, PaStreamFlags flags,
                         PaStreamCallback* callback, void* user_data) {
  PaError rc = Pa_OpenStream(stream, input, output, sample_rate, frames_per_buffer, flags,
                             callback, user_data);
  if (rc != paNoError) {
    *stream = nullptr;
    throw EPortAudioException(PaOpenErrorText(rc, sample_rate));
  }
}

void PaStartStreamChecked(PaStream* stream) {
  PaError rc = Pa_StartStream(stream);
  if (rc != paNoError) throw EPortAudioException(PaErrorText(rc));
}

const PaStreamInfo* PaGetStreamInfoChecked(PaStream* stream) {
  const PaStreamInfo* info = stream ? Pa_GetStreamInfo(stream) : nullptr;
  if (info == nullptr) throw EPortAudioException("Invalid PA stream");
  return info;
}

PaStreamParameters PaMakeStreamParameters(PaDeviceIndex device, int channels,
                                          PaSampleFormat format, PaTime latency) {
  PaStreamParameters p;
  p.device = device;
  p.channelCount = channels;
  p.sampleFormat = format;
  p.suggestedLatency = latency;
  p.hostApiSpecificStreamInfo = nullptr;
  return p;
}
