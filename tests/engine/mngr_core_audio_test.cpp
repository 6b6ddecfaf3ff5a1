// The engine with its sound card, over ALSA file PCMs.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/mngr.h"
#include "station/paudio.h"
#include "station/portaudio.h"
#include "support/alsa_devices.h"
#include "support/engine_rig.h"

namespace {

using vektest::EngineRig;

TEST(EngineAudio, TheSoundCardCountsAmongTheStartedThreadsAndReportsLevels) {
  TAlsaTestDevices devices;
  const std::string fifo = devices.MakeFifo("cap.fifo");
  devices.AddCapture("vekpipe", fifo);
  devices.Install();
  TFifoFeeder feeder(fifo, TAlsaTestDevices::Sine(3.0, 1000, 8000, 6000), 8000, 640);
  auto rt = std::make_unique<TVEKAudioRT>();
  EngineRig rig;
  rig.audio_rt = rt.get();
  rig.setup.Audio.InDevice = u"ALSA:vekpipe";
  rig.setup.Audio.InSampleRate = 8000;
  rig.setup.Audio.InFactor = 2;
  TVEKManager& e = rig.Create(0);
  ASSERT_NE(e.Audio(), nullptr);
  e.WaitThreadsStarted();
  EXPECT_TRUE(e.Audio()->Started());
  // Background capture runs from the engine's start: levels of the sine,
  // also to an OnLevel set while the engine runs.
  int levels = 0;
  e.SetOnLevel([&] { ++levels; });
  EXPECT_TRUE(rig.Pump([&] { return levels >= 3 && (e.LevelWord() & 0xFFFFFF) >= 5000; }));
  e.SetOnLevel(nullptr);
  rig.Destroy();
  feeder.Stop();
}

TEST(EngineAudio, AMissingInputDeviceIsLoggedOnlyWithLogAudioErrors) {
  TAlsaTestDevices devices;
  devices.Install();
  auto rt = std::make_unique<TVEKAudioRT>();
  for (bool log : {true, false}) {
    EngineRig rig;
    rig.audio_rt = rt.get();
    rig.setup.Audio.InDevice = u"ALSA:nosuchdevice";
    rig.setup.System.LogAudioErrors = log;
    TVEKManager& e = rig.Create(0);
    e.WaitThreadsStarted();
    // The start's errors are handled by the pass that handles this reopen.
    e.RequestLogReopen();
    ASSERT_TRUE(rig.PumpUntil("ReopenLog"));
    EXPECT_EQ(rig.CountOf("ErrorText:AUDIO: Capture(input) audio device not found: "), log ? 1 : 0) << log;
  }
}

}  // namespace
