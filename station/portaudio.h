// The program's PortAudio runtime: library start and end once per process,
// the capture and playback device tables with names unique per table, and
// checked PortAudio calls that raise EPortAudioException with fixed texts.
#pragma once

#include <portaudio.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EPortAudioException, Exception);

struct TPaRTNameRec {
  uint16_t HostApiIndex = 0;
  uint16_t HostApiDeviceIndex = 0;
  int16_t DeviceIndex = -1;
  std::u16string HostApiName;
  std::u16string DeviceName;
  std::u16string TrimmedName;      // Unicode white space removed at both ends
  std::u16string FullName;         // host API + ":" + device name
  std::u16string FullTrimmedName;  // host API + ":" + trimmed name
  std::u16string DisplayName;      // full name, numbered when not unique
};
using TPaRTNamesArr = std::vector<TPaRTNameRec>;

// Host APIs whose devices are listed. OSS finds nothing on Linux, so ALSA is
// accepted as well.
bool VekAcceptedHostApi(const char* name);

// Same length and order; equal names that carry no "{n}" (n > 0) become
// "name {1}", "name {2}", ...
std::vector<std::u16string> VekMakeUniqueDeviceNames(const std::vector<std::u16string>& names);

class TVEKAudioRT {
 public:
  // Starts PortAudio with the error stream silenced (its host APIs print
  // noise), raises EPortAudioException on failure, then lists the devices.
  TVEKAudioRT();
  ~TVEKAudioRT();
  TVEKAudioRT(const TVEKAudioRT&) = delete;
  TVEKAudioRT& operator=(const TVEKAudioRT&) = delete;

  // Rebuilds both tables. Lookups run on the engine and the sound-card
  // thread; hold Lock() across a rebuild and the finds that depend on it.
  void RefreshDevices();
  std::unique_lock<std::recursive_mutex> Lock() const {
    return std::unique_lock<std::recursive_mutex>(lock_);
  }

  std::vector<std::u16string> GetInputDeviceNames() const;
  std::vector<std::u16string> GetOutputDeviceNames() const;
  int GetInputDeviceCount() const;
  int GetOutputDeviceCount() const;
  // PortAudio device index of the first exact display-name match, else -1.
  int FindInputDevice(const std::u16string& name) const;
  int FindOutputDevice(const std::u16string& name) const;
  // The same against the full trimmed names.
  int FindInputDeviceAlt(const std::u16string& name) const;
  int FindOutputDeviceAlt(const std::u16string& name) const;

  TPaRTNamesArr InputDevices() const;
  TPaRTNamesArr OutputDevices() const;

 private:
  PaError init_result_ = paNotInitialized;
  TPaRTNamesArr capture_;
  TPaRTNamesArr playback_;
  mutable std::recursive_mutex lock_;
};

// ---------------------------------------------------------------------------
// Checked calls

std::string PaErrorText(PaError code);
std::u16string PaErrorTextW(PaError code);

// "invalid device index" when PortAudio has no such device.
const PaDeviceInfo* PaGetDeviceInfoChecked(PaDeviceIndex index);

// On failure *stream is cleared and the text is PortAudio's, extended with
// the host API's error for paUnanticipatedHostError and with the rate for
// paInvalidSampleRate.
void PaOpenStreamChecked(PaStream** stream, const PaStreamParameters* input,
                         const PaStreamParameters* output, double sample_rate,
                         unsigned long frames_per_buffer, PaStreamFlags flags,
                         PaStreamCallback* callback, void* user_data);
void PaStartStreamChecked(PaStream* stream);
// "Invalid PA stream" when PortAudio has no information.
const PaStreamInfo* PaGetStreamInfoChecked(PaStream* stream);

PaStreamParameters PaMakeStreamParameters(PaDeviceIndex device, int channels,
                                          PaSampleFormat format, PaTime latency);

// The open-failure text for a PortAudio code (exposed for tests): PortAudio's
// text plus the extensions described above.
std::string PaOpenErrorText(PaError code, double sample_rate);
// "; <host API>: error <code>[: <text>]" for a host error; the name is empty
// when the host API is not available.
std::string PaHostErrorSuffix(PaHostApiTypeId type, long code, const char* text);
