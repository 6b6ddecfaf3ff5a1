// Radio signal and static lines of the engine, over signal files.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "engine/mngr.h"
#include "foundation/exception.h"
#include "foundation/types.h"
#include "station/portaudio.h"
#include "support/alsa_devices.h"
#include "support/engine_rig.h"

namespace {

using vektest::EngineRig;
using vektest::Exists;
using vektest::Narrow;

std::u16string W(const std::string& s) { return DaxAnsiToUnicodeRaw(s); }

TEST(EngineLines, StaticSpecsGiveOneResultPerNonEmptyField) {
  EngineRig rig;
  struct Case {
    std::string spec;
    int made;
    std::vector<std::string> errors;  // "" where a line was made
  };
  const std::string a = "FILE:" + rig.Path("a"), b = "FILE:" + rig.Path("b");
  const Case cases[] = {
      {a + "; ;" + b, 2, {"", ""}},
      {" " + a + " ;;", 1, {""}},
      {"COM:/dev/null:NOPE", 0, {"?"}},
      {"", 0, {}},
  };
  for (const Case& c : cases) {
    TVEKIfcErrorList errors;
    rig.Destroy();
    TVEKManager& m = rig.Create();
    m.SetStaticLines(W(c.spec), errors);
    ASSERT_EQ(errors.size(), c.errors.size()) << c.spec;
    EXPECT_EQ(m.StaticLineCount(), c.made) << c.spec;
    for (size_t i = 0; i < errors.size(); ++i) {
      if (c.errors[i].empty())
        EXPECT_EQ(errors[i].Error, u"") << c.spec;
      else
        EXPECT_NE(errors[i].Error, u"") << c.spec;
    }
  }
  TVEKIfcErrorList errors;
  EXPECT_THROW(rig.engine().SetStaticLines(u"BOGUS:x", errors), Exception);
}

TEST(EngineLines, SignalAccessorsNameTheMissingSignal) {
  EngineRig rig;
  TVEKManager& e = rig.Create();
  const char* names[] = {"PTT", "COS", "LIGHT"};
  for (int i = 0; i < msig_Count; ++i) {
    EXPECT_FALSE(e.SignalAssigned(i));
    try {
      e.SignalWireName(i);
      ADD_FAILURE() << names[i];
    } catch (const Exception& ex) {
      EXPECT_EQ(ex.Message(), std::string("signal \"") + names[i] + "\" not assigned");
    }
  }
  std::u16string error;
  ASSERT_TRUE(e.CreateSignalLine(msig_PTT, W("FILE:" + rig.Path("ptt")), error)) << Narrow(error);
  EXPECT_TRUE(e.SignalAssigned(msig_PTT));
  EXPECT_EQ(e.SignalInterfaceType(msig_PTT), rit_FILE);
  EXPECT_FALSE(e.SignalIsOpen(msig_PTT));
}

TEST(EngineLines, SwitchingTheRadioOnAndOffWritesTheLines) {
  EngineRig rig;
  TVEKManager& e = rig.Create();
  std::u16string error;
  ASSERT_TRUE(e.CreateSignalLine(msig_PTT, W("FILE:" + rig.Path("ptt")), error));
  ASSERT_TRUE(e.CreateSignalLine(msig_LIGHT, W("FILE:" + rig.Path("light::INV")), error));
  TVEKIfcErrorList errors;
  e.SetStaticLines(W("FILE:" + rig.Path("static")), errors);
  e.SetRadioEnabled(true);
  EXPECT_TRUE(Exists(rig.Path("static")));
  EXPECT_FALSE(Exists(rig.Path("ptt")));   // PTT off
  EXPECT_TRUE(Exists(rig.Path("light")));  // LIGHT off, inverted
  EXPECT_TRUE(e.SignalIsOpen(msig_PTT));
  EXPECT_TRUE(e.StaticLineIsOpen(0));
  e.SetRadioEnabled(false);
  EXPECT_FALSE(Exists(rig.Path("static")));
  EXPECT_FALSE(Exists(rig.Path("light")));
  EXPECT_FALSE(e.SignalIsOpen(msig_PTT));
}

TEST(EngineLines, AStaticLineThatFailedIsReopenedAndReappliedAfterThreeSeconds) {
  EngineRig rig;
  rig.UseManualClock(1000);
  TVEKManager& e = rig.Create();
  const std::string dir = rig.Path("later");
  TVEKIfcErrorList errors;
  e.SetStaticLines(W("FILE:" + dir + "/sig"), errors);
  ASSERT_EQ(e.StaticLineCount(), 1);
  e.SetRadioEnabled(true);
  EXPECT_FALSE(Exists(dir + "/sig"));
  vektest::Sh("mkdir " + dir);
  rig.PumpFor(300);  // ticks pass; the retry is not due yet
  EXPECT_FALSE(Exists(dir + "/sig"));
  rig.Advance(3000);
  EXPECT_TRUE(rig.Pump([&] { return Exists(dir + "/sig"); }));
  e.SetRadioEnabled(false);
}

// The main thread rebuilds lines while the engine's passes keep up the old
// ones: the upkeep must never touch a line being freed.
TEST(EngineLines, LinesChangeWhileThePassesRun) {
  EngineRig rig;
  TVEKManager& e = rig.Create();
  e.WaitThreadsStarted();
  std::atomic<bool> stop{false};
  std::thread passes([&] {
    while (!stop.load()) e.RequestLogReopen();  // each one runs a pass
  });
  std::u16string error;
  for (int i = 0; i < 150; ++i) {
    const std::string n = std::to_string(i % 3);
    e.CreateSignalLine(msig_PTT, W("FILE:" + rig.Path("ptt" + n)), error);
    e.CreateSignalLine(msig_COS, W("FILE:" + rig.Path("cos" + n)), error);
    TVEKIfcErrorList errors;
    e.SetStaticLines(W("FILE:" + rig.Path("s" + std::to_string(i))), errors);
    e.SetRadioEnabled(i % 2 == 0);
    rig.PumpFor(1);
  }
  stop = true;
  passes.join();
  e.SetRadioEnabled(false);
  EXPECT_EQ(e.StaticLineCount(), 150);
}

// With the lines off the carrier input is off: a COS already keyed then
// must not open its device, nor skip its catch time once the lines are on.
TEST(EngineLines, ACosKeyedWhileTheLinesAreOffWaitsItsCatchTimeOnceTheyAreOn) {
  TAlsaTestDevices alsa;
  const std::string fifo = alsa.MakeFifo("cap.fifo");
  alsa.AddCapture("vekcap", fifo);
  alsa.Install();
  TFifoFeeder feeder(fifo, {}, 8000, 640);
  TVEKAudioRT rt;
  EngineRig rig;
  rig.UseManualClock();
  rig.audio_rt = &rt;
  rig.setup.Audio.InDevice = u"ALSA:vekcap";
  rig.setup.Audio.InSampleRate = 8000;
  rig.setup.Audio.InFactor = 2;
  TVEKManager& e = rig.Create(0);
  std::u16string error;
  ASSERT_TRUE(e.CreateSignalLine(msig_COS, W("FILE:" + rig.Path("cos")), error)) << Narrow(error);
  vektest::WriteFile(rig.Path("cos"), "");
  e.CarrierCatchTime = 300;
  e.WaitThreadsStarted();
  // Each capture level is one sample of the carrier.
  int samples = 0;
  e.SetOnLevel([&] { ++samples; });
  const auto sample = [&](int n) {
    const int until = samples + n;
    return rig.Pump([&] { return samples >= until; });
  };
  ASSERT_TRUE(sample(5));
  EXPECT_EQ(rig.CountOf("CarrierOn"), 0);
  EXPECT_FALSE(e.SignalIsOpen(msig_COS));

  e.SetRadioEnabled(true);
  ASSERT_TRUE(sample(5));
  EXPECT_EQ(rig.CountOf("CarrierOn"), 0) << "the catch time has not passed";
  rig.Advance(300);
  EXPECT_TRUE(rig.PumpUntil("CarrierOn"));
  e.SetOnLevel(nullptr);
  e.SetRadioEnabled(false);
}

}  // namespace
