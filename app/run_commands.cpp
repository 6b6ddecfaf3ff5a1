// The runner's console commands: help, the device and interface lists, the
// rate probe, the level meter, the input check and the registration.
#include <portaudio.h>

#include <cstdio>

#include "app/run.h"
#include "app/run_checkinp.h"
#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/texts.h"
#include "foundation/types.h"
#include "net/logininfo.h"
#include "station/ifc.h"
#include "station/portaudio.h"

namespace {

constexpr int32_t kProbeRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

std::u16string RateText(int32_t rate) {
  char text[16];
  std::snprintf(text, sizeof text, "%6d", static_cast<int>(rate));
  return DaxAnsiToUnicodeRaw(text);
}

std::u16string AccessText(uint8_t flags) {
  const bool in = (flags & kVekWireReadable) != 0;
  const bool out = (flags & kVekWireWritable) != 0;
  if (in && out) return u"Input/Output";
  if (in) return u"Input";
  if (out) return u"Output";
  return u"no access";
}

}  // namespace

void TVEKRun::PrintHelpCommands() {
  static const char16_t* const kLines[] = {
      u" help - this help",
      u" audio - list of supported audio devices",
      u" audioconfig - list of supported audio devices; for configuration file",
      u" audiolevel [configfilename] - check audio system perfomance with settings from "
      u"configuration file",
      u" radio - list of supported interfaces for radio",
      u" checkrate audiodevicename - check samplerates for certain audio device",
      u" checkrateconfig [configfilename] - check samplerates for audio devices from "
      u"configuration file",
      u" checkinput:interfacetype:devicename[:inputwire] [configfilename] - check input wires; "
      u"input audio must be set",
      u"     example: checkinput:COM:/dev/ttyS0",
      u"     example: checkinput:COM:/dev/ttyUSB0:CTS",
      u"     example: checkinput:VOX:250",
      u" debug [configfilename] - debug running",
      u" nostdout [configfilename] - debug running without stdout",
      u" register [configfilename] - [re]register VEK account",
      u" logfilename [configfilename] - show LOG-file name",
  };
  for (const char16_t* line : kLines) Print(line);
}

void TVEKRun::PrintHelp() {
  PrintHelpCommands();
  Print(u" daemon [configfilename] - run as daemon");
  Print(u" pidfilename [configfilename] - show PID-file name");
  Print(u" stop [configfilename] - stop the running daemon");
  Print(u" reopenlog [configfilename] - reopen LOG-file for the running daemon");
  Print(u" deletepidfile [configfilename] - delete saved PID-file");
}

void TVEKRun::ListAudioDevices() {
  if (!audio_rt_) return;
  Print(u"[AUDIO INPUT DEVICES]");
  for (const std::u16string& name : audio_rt_->GetInputDeviceNames()) Print(name);
  Print(u"");
  Print(u"[AUDIO OUTPUT DEVICES]");
  for (const std::u16string& name : audio_rt_->GetOutputDeviceNames()) Print(name);
}

void TVEKRun::ListAudioDevicesConfig() {
  if (!audio_rt_) return;
  auto block = [this](const std::vector<std::u16string>& names, const std::u16string& header,
                      const std::u16string& key) {
    if (names.empty()) return;
    Print(u"#");
    Print(u"#");
    Print(header);
    for (const std::u16string& name : names) PrintUtf8(key + name);
    Print(u"#");
  };
  block(audio_rt_->GetInputDeviceNames(), u"[INPUT_AUDIO_DEVICES_LIST]", u"InDevice=");
  block(audio_rt_->GetOutputDeviceNames(), u"[OUTPUT_AUDIO_DEVICES_LIST]", u"OutDevice=");
}

void TVEKRun::ListRadioInterfaces() {
  Print(u"Names of radio interface types and names of their wires for config:");
  for (TVEKRadioIfcType type : {rit_COM, rit_VOX, rit_FILE}) {
    Print(VekEnumText(type));
    std::unique_ptr<TVEKRadioIfc> ifc = VekCreateRadioIfc(type, u"0", u"0");
    if (!ifc) continue;
    for (const TVEKIfcWireRecord& wire : ifc->GetTypeWires())
      Print(u"  " + wire.Name + u" - " + AccessText(wire.Flags));
  }
}

void TVEKRun::CheckSampleRates(const std::u16string& capture_name,
                               const std::u16string& playback_name) {
  if (!audio_rt_) return;
  auto probe = [this](const std::u16string& name, bool capture) {
    if (name.empty()) return;
    const int device =
        capture ? audio_rt_->FindInputDevice(name) : audio_rt_->FindOutputDevice(name);
    if (device < 0) {
      Print((capture ? u"ERROR: Input audio device not found: "
                     : u"ERROR: Output audio device not found: ") +
            name);
      return;
    }
    Print((capture ? u"Input sample rates for: " : u"Output sample rates for: ") + name);
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    PaStreamParameters params{};
    params.device = device;
    params.channelCount = 1;
    params.sampleFormat = paInt16;
    params.suggestedLatency =
        info ? (capture ? info->defaultLowInputLatency : info->defaultLowOutputLatency) : 0.0;
    for (int32_t rate : kProbeRates) {
      PaStream* stream = nullptr;
      const PaError err =
          Pa_OpenStream(&stream, capture ? &params : nullptr, capture ? nullptr : &params, rate,
                        static_cast<unsigned long>(rate / 25), paNoFlag, nullptr, nullptr);
      if (err != paNoError) continue;
      Pa_CloseStream(stream);
      Print(RateText(rate));
    }
  };
  probe(capture_name, true);
  probe(playback_name, false);
}

void TVEKRun::OnLevelBar() {
  uint32_t level = engine_->LevelWord() & 0xFFFFu;
  if (level > 32767) level = 32767;
  Print(VekLevelBarText(level, bar_width_));
}

void TVEKRun::AudioLevel(int32_t width, int32_t meter_mode) {
  if (!engine_) return;
  bar_width_ = width;
  engine_->SetLevelMode(VekCheckRange0to3(meter_mode));
  engine_->SetOnLevel([this] { OnLevelBar(); });
  WaitForEngine();
  engine_->SetOnLevel({});
}

void TVEKRun::OnCheckInputLevel() {
  try {
    uint32_t level = engine_->LevelWord() & 0xFFFFu;
    if (level > 32767) level = 32767;
    Log(check_input_->GetActiveInputs(static_cast<int32_t>(level)));
  } catch (const std::exception& e) {
    Log(u"ERROR: " + DaxSysToUnicodeProc(e.what()));
  }
}

void TVEKRun::CheckInput(const std::u16string& spec) {
  check_input_ = std::make_unique<TVEKRunCheckInput>(spec);
  try {
    check_input_->Poll(DaxTickMs());
    if (engine_) {
      engine_->SetOnLevel([this] { OnCheckInputLevel(); });
      WaitForEngine();
      engine_->SetOnLevel({});
    }
  } catch (...) {
    if (engine_) engine_->SetOnLevel({});
    check_input_->Stop();
    check_input_.reset();
    throw;
  }
  check_input_->Stop();
  check_input_.reset();
}

bool TVEKRun::RegisterAccount(TVEKSetupData& setup) {
  if (!engine_) return false;
  bool ok = true;
  if (DaxTrimW(setup.Manager.ManagerAddress).empty()) {
    Log(u"Error: SystemManager address is empty");
    ok = false;
  } else if (setup.Manager.ManagerPort == 0) {
    Log(u"Error: SystemManager port is invalid");
    ok = false;
  }
  if (!ok) {
    engine_->TerminateAndWake();
    WaitForEngine();
    return false;
  }
  const TVEKAccount& a = setup.Account;
  Print(u"CallsignOpname: " + VekNameText(a));
  Print(u"EMail: " + a.EMailAddress);
  Print(u"BandChannel: " + VekClientTypeText(a));
  Print(u"Description: " + a.Description);
  Print(u"Country: " + a.Country);
  Print(u"CityCityPart: " + VekCityText(a));
  stop_on_manager_answer_ = 1;
  // The system-manager client takes the account from the login data.
  login_info_ = std::make_unique<TVEKLoginInfo>(a);
  engine_->SetLoginInfo(login_info_.get());
  engine_->ManagerAddress = setup.Manager.ManagerAddress;
  engine_->ManagerPort = setup.Manager.ManagerPort;
  engine_->ApplyProtocolSettings(setup.Internet);
  engine_->RegisterAccount(a);
  WaitForEngine();
  return registered_;
}
