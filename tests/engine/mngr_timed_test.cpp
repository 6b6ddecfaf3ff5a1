// The engine's timed announcements and DTMF commands end to end: hour and
// informer sounds on a test-set local time, scripts, tones through the
// sound card over ALSA file PCMs, and server switches against the VEK test
// server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/executor.h"
#include "engine/mngr.h"
#include "engine/timed_rules.h"
#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "foundation/types.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/server.h"
#include "station/portaudio.h"
#include "station/sound_reader.h"
#include "support/alsa_devices.h"
#include "support/case_name.h"
#include "support/engine_rig.h"
#include "support/engine_voice_rig.h"
#include "support/fake_vek_server.h"
#include "support/wait.h"

// The engine's raised events, read under its lock, and the hour slot it
// last saw (-1 before the first).
struct TVEKManagerProbe {
  static bool Pending(TVEKManager& e, TVEKManagerEvent event) {
    std::lock_guard<std::mutex> guard(e.lock_);
    return e.pending_[event] != 0;
  }
  static int32_t LastHourSlot(TVEKManager& e) { return e.timed_.LastHourSlot.load(); }
};

namespace {

using vektest::EngineRig;
using vektest::Narrow;
using vektest::WriteFile;

const char* const kWav = "-r 8000 -c 1 -b 16 -e signed-integer";

TDaxDateTime At(int h, int mi, int s, int ms) { return {2026, 5, 4, h, mi, s, ms}; }

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// An engine without a sound card whose local time and tick clock the test
// sets; own sounds then end as soon as the reader has read them.
class TimedEngine : public testing::Test {
 protected:
  void SetUp() override {
    rig.UseManualClock();
    rig.seams.LocalTime = [this] { return VekLocalFromMs(local_.load()); };
    mkdir(rig.Path("hours").c_str(), 0755);
    mkdir(rig.Path("informer").c_str(), 0755);
    rig.setup.Hours.Dir = U(rig.Path("hours"));
    rig.setup.Hours.ExtDir = U(rig.Path("hours"));
    rig.setup.Informer.Dir = U(rig.Path("informer"));
  }

  static std::u16string U(const std::string& s) { return DaxAnsiToUnicodeRaw(s); }

  void SetLocal(const TDaxDateTime& t) { local_.store(VekLocalToMs(t)); }
  void SetLocal(int h, int mi, int s, int ms) { SetLocal(At(h, mi, s, ms)); }
  void Sound(const std::string& name, double seconds = 0.1) { vektest::SoxTone(rig.Path(name), kWav, seconds); }
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = rig.Path(name);
    WriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
  // A script that waits (kPeerWaitMs at most) for the file go, then writes
  // the line `output` to its output file.
  std::string ScriptWaitingFor(const std::string& name, const std::string& go, const std::string& output) {
    const std::string polls = std::to_string(vektest::kPeerWaitMs / 10);
    return Script(name, "i=0; while [ ! -e '" + go + "' ] && [ $i -lt " + polls +
                            " ]; do sleep 0.01; i=$((i+1)); done\n"
                            "echo " + output + " > \"$2\"\n");
  }
  // The informer every 20 s, the step of NextInformer.
  void EnableInformer() {
    rig.setup.Informer.Enabled = 1;
    rig.setup.Informer.Interval = 20;
  }

  TVEKManager& Create(const std::function<void(TVEKManager&)>& customize = {}) {
    started.clear();
    TVEKManager& e = rig.Create(mopt_NoSoundCard, customize);
    e.WaitThreadsStarted();
    // The run takes the slot of the start just after it counts as started.
    EXPECT_TRUE(rig.Pump([&] { return !rig.setup.Hours.Enabled || TVEKManagerProbe::LastHourSlot(e) >= 0; }));
    return e;
  }
  // Base names of the files the reader started, in order.
  void Collect() {
    std::u16string name;
    while (rig.HasEngine() && rig.engine().PopStartedFileName(name)) started.push_back(BaseName(Narrow(name)));
  }
  bool WaitStarted(size_t count, uint32_t timeout_ms = vektest::kPeerWaitMs) {
    return rig.Pump(
        [&] {
          Collect();
          return started.size() >= count;
        },
        timeout_ms);
  }
  // Waits out a few passes and reports what started meanwhile.
  void Settle(uint32_t ms = 500) {
    rig.PumpFor(ms);
    Collect();
  }
  void NextInformer() { rig.Advance(20000); }
  // The next informer file plays to its end (an informer due while one
  // plays is dropped).
  bool PlayInformer(size_t count) {
    NextInformer();
    return WaitStarted(count) && rig.Pump([&] { return rig.engine().SoundMode() == msm_Normal; });
  }

  EngineRig rig;
  std::vector<std::string> started;

 private:
  std::atomic<int64_t> local_{0};
};

struct HourCase {
  const char* name;
  int32_t correction;
  uint32_t play_delay;  // with the radio lines on
  bool debug;
  const char* interval;
  TDaxDateTime before, after;
  const char* file;  // empty: nothing plays
};

const HourCase kHourCases[] = {
    {"on time", 0, 0, false, "60", At(10, 59, 59, 900), At(11, 0, 0, 100), "11_00.wav"},
    {"pass too late", 0, 0, false, "60", At(10, 59, 59, 900), At(11, 0, 0, 300), ""},
    {"correction delays it", 500, 0, false, "60", At(11, 0, 0, 400), At(11, 0, 0, 600), "11_00.wav"},
    {"correction, not yet", 500, 0, false, "60", At(10, 59, 59, 900), At(11, 0, 0, 400), ""},
    {"keying delay brings it forward", 0, 400, false, "60", At(10, 59, 59, 500), At(10, 59, 59, 700),
     "11_00.wav"},
    {"quarter hours", 0, 0, false, "15", At(11, 14, 59, 950), At(11, 15, 0, 50), "11_15.wav"},
    {"debug names the hour", 0, 0, true, "15", At(11, 14, 59, 950), At(11, 15, 0, 50), "11_00.wav"},
};

class TimedEngineHour : public TimedEngine, public ::testing::WithParamInterface<HourCase> {};

TEST_P(TimedEngineHour, HourFileOnlyRightAfterTheSlotBoundary) {
  const HourCase& c = GetParam();
  Sound("hours/11_00.wav");
  Sound("hours/11_15.wav");
  rig.setup.Hours.Enabled = true;
  rig.setup.Hours.Correction = c.correction;
  rig.setup.Hours.Debug = c.debug;
  rig.setup.Hours.Interval = U(c.interval);
  SetLocal(c.before);
  TVEKManager& e = Create();
  if (c.play_delay) {
    e.SetPlayDelay(c.play_delay);
    e.SetRadioEnabled(true);  // at once, where the run state waits for a pass
  }
  SetLocal(c.after);
  if (*c.file) {
    ASSERT_TRUE(WaitStarted(1));
    EXPECT_EQ(started, std::vector<std::string>{c.file});
  }
  Settle();
  EXPECT_EQ(started.size(), *c.file ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(TimedEngine, TimedEngineHour, ::testing::ValuesIn(kHourCases), vektest::RowName());

// The wall clock steps back over the slot just announced: a time server's
// correction of a few seconds replays nothing; the end of summer time
// announces the slot the local time comes to, as before.
TEST_F(TimedEngine, ClockSteppedBackOverTheSlotReplaysNothing) {
  struct Tick {
    uint32_t ticks_ms;  // passed since the step before
    TDaxDateTime local;
  };
  struct Case {
    const char* what;
    const char* interval;
    TDaxDateTime start;
    std::vector<Tick> steps;
    std::vector<std::string> played;
  } cases[] = {
      {"time server correction", "60", At(1, 59, 59, 900),
       {{200, At(2, 0, 0, 100)}, {1900, At(2, 0, 2, 0)}, {0, At(1, 59, 58, 0)}, {2100, At(2, 0, 0, 100)}},
       {"02_00.wav"}},
      {"summer time ends", "15", At(2, 44, 59, 900),
       {{200, At(2, 45, 0, 100)}, {899800, At(2, 59, 59, 900)}, {200, At(2, 0, 0, 100)}},
       {"02_45.wav", "02_00.wav"}},
  };
  Sound("hours/02_00.wav");
  Sound("hours/02_45.wav");
  rig.setup.Hours.Enabled = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rig.setup.Hours.Interval = U(c.interval);
    SetLocal(c.start);
    TVEKManager& e = Create();
    for (const Tick& t : c.steps) {
      rig.Advance(t.ticks_ms);
      SetLocal(t.local);
      Settle(300);
      ASSERT_TRUE(rig.Pump([&] { return e.SoundMode() == msm_Normal; }));
    }
    ASSERT_TRUE(WaitStarted(c.played.size()));
    Settle();
    EXPECT_EQ(started, c.played);
    rig.Destroy();
  }
}

TEST_F(TimedEngine, HourScriptFilesFollowWhenTheScriptFinishedInTime) {
  Sound("hours/11_00.wav");
  Sound("hours/extra.wav");
  Sound("hours/more.WAV");
  const std::string args = rig.Path("args");
  rig.setup.Hours.Enabled = true;
  rig.setup.Hours.ExtEnabled = true;
  rig.setup.Hours.ExtScript = U(Script("hour.sh", "echo \"$3\" > '" + args + "'\nprintf 'extra\\nmore.WAV\\n' > \"$2\"\n"));
  SetLocal(10, 59, 59, 900);
  TVEKManager& e = Create();
  // Hold the hour file until the script is through.
  e.SoundReader()->PauseReading();
  SetLocal(11, 0, 0, 100);
  ASSERT_TRUE(WaitStarted(1));
  ASSERT_TRUE(rig.Pump([&] { return !e.Executor()->Busy(); }));
  e.SoundReader()->ResumeReading();
  ASSERT_TRUE(WaitStarted(3));
  EXPECT_EQ(started, (std::vector<std::string>{"11_00.wav", "extra.wav", "more.WAV"}));
  EXPECT_EQ(vektest::ReadFile(args), "11_00\n");
  Settle();
  EXPECT_EQ(started.size(), 3u);
  EXPECT_EQ(rig.CountOf("ErrorText:"), 0);
}

TEST_F(TimedEngine, SlowHourScriptIsAbortedWithItsSound) {
  Sound("hours/11_00.wav");
  Sound("hours/extra.wav");
  const std::string go = rig.Path("go");
  rig.setup.Hours.Enabled = true;
  rig.setup.Hours.ExtEnabled = true;
  rig.setup.Hours.ExtScript = U(ScriptWaitingFor("slow.sh", go, "extra"));
  SetLocal(10, 59, 59, 900);
  TVEKManager& e = Create();
  SetLocal(11, 0, 0, 100);
  ASSERT_TRUE(WaitStarted(1));
  ASSERT_TRUE(rig.PumpUntil("ExternalSoundStopped"));
  WriteFile(go, "");
  ASSERT_TRUE(rig.Pump([&] { return !e.Executor()->Busy(); }));
  Settle();
  EXPECT_EQ(started, std::vector<std::string>{"11_00.wav"});
  std::u16string line;
  EXPECT_FALSE(e.Executor()->PopOutput(line));
}

// An hour sound that cuts an informer short: the informer's script, still
// running, must not lend its output to the hour sound.
TEST_F(TimedEngine, PreemptedInformerScriptNeverPlays) {
  Sound("informer/info.wav");
  Sound("hours/11_00.wav", 120);  // long enough to hold it with the reader paused
  Sound("hours/x.wav");
  const std::string go = rig.Path("go");
  EnableInformer();
  rig.setup.Informer.ExtEnabled = 1;
  rig.setup.Informer.ExtScript = U(ScriptWaitingFor("inf.sh", go, "x"));
  rig.setup.Hours.Enabled = true;
  rig.setup.Hours.ExtEnabled = true;
  rig.setup.Hours.ExtScript = U(Script("hour.sh", "echo x > \"$2\"\n"));
  SetLocal(10, 50, 0, 0);
  TVEKManager& e = Create();
  e.SoundReader()->PauseReading();
  NextInformer();
  ASSERT_TRUE(WaitStarted(1));
  ASSERT_TRUE(rig.PumpUntil("ExternalSoundStarted"));
  SetLocal(11, 0, 0, 50);
  ASSERT_TRUE(rig.Pump([&] {
    Collect();
    if (started.size() >= 2) e.SoundReader()->PauseReading();
    return started.size() >= 2;
  }));
  // The informer's script ends while the hour file plays.
  WriteFile(go, "");
  ASSERT_TRUE(rig.Pump([&] { return !e.Executor()->Busy(); }));
  e.SoundReader()->ResumeReading();
  ASSERT_TRUE(rig.Pump([&] { return rig.CountOf("ExternalSoundStopped") >= 1; }));
  Settle();
  EXPECT_EQ(started, (std::vector<std::string>{"info.wav", "11_00.wav"}));
  EXPECT_EQ(rig.CountOf("ErrorText:INFORMER: Busy"), 1);
}

// The connect sound after a login cuts an informer short. With the connect
// script switched on but none named, the informer's script, finishing while
// the connect sound plays, must not count as the connect sound's.
TEST_F(TimedEngine, ConnectSoundTakesNoForeignScript) {
  Sound("informer/info.wav");
  Sound("connect.wav", 120);  // long enough to hold it with the reader paused
  Sound("hours/x.wav");
  const std::string go = rig.Path("go");
  EnableInformer();
  rig.setup.Informer.ExtEnabled = 1;
  rig.setup.Informer.ExtScript = U(ScriptWaitingFor("inf.sh", go, "x"));
  TVEKSoundParameters& sounds = rig.setup.Sounds;
  sounds.FileNames[csnd_Connect] = U(rig.Path("connect.wav"));
  sounds.Enabled[csnd_Connect] = true;
  sounds.ConnectSoundExtEnabled = true;
  sounds.ConnectSoundExtDir = U(rig.Path("hours"));
  rig.setup.Manager.DynamicPasswordMode = dpm_NO;
  TVEKAccount account;
  VekDefaultAccount(account);
  account.CharsetName = u"ASCII";
  TVEKLoginInfo info(account);
  vektest::Script script;
  script.Login().Sleep(60000);
  vektest::FakeVekServer fake(script);
  TVEKServer server;
  server.SetMainServer(u"127.0.0.1", fake.Port());
  SetLocal(10, 30, 0, 0);
  TVEKManager& e = Create();
  e.SetLoginInfo(&info);
  e.SetServerEntry(&server);
  e.SetNetwork(u"Test");
  e.SoundReader()->PauseReading();
  NextInformer();
  ASSERT_TRUE(WaitStarted(1));
  ASSERT_TRUE(rig.PumpUntil("ExternalSoundStarted"));
  e.SetOnline(true);
  ASSERT_TRUE(rig.Pump([&] {
    if (rig.CountOf("ServiceSoundStarted") > 0) e.SoundReader()->PauseReading();
    return rig.CountOf("ServiceSoundStarted") > 0;
  }));
  WriteFile(go, "");
  ASSERT_TRUE(rig.Pump([&] { return !e.Executor()->Busy(); }));
  e.SoundReader()->ResumeReading();
  ASSERT_TRUE(rig.Pump([&] { return rig.CountOf("ServiceSoundStopped") >= 1; }));
  Settle();
  EXPECT_EQ(started, std::vector<std::string>{"info.wav"});
  rig.Destroy();
  fake.Stop();
}

// An hour sound that cuts an informer short whose reader reported its end
// in the same pass: that end is the informer's and must not end the hour
// sound, which is read to its own end.
TEST_F(TimedEngine, HourSoundOutlivesTheLateEndOfTheInformerItCuts) {
  Sound("informer/info.wav");
  Sound("hours/11_00.wav", 10);  // far more than the reader's ring holds
  EnableInformer();
  rig.setup.Hours.Enabled = true;
  SetLocal(10, 30, 0, 0);
  bool informer_started = false;
  const auto pending = [](TVEKManager& e, TVEKManagerEvent event) {
    return vektest::WaitUntil([&] { return TVEKManagerProbe::Pending(e, event); });
  };
  TVEKManager& e = Create([&](TVEKManager& engine) {
    // The hour strikes at the pass after the informer's start. That pass
    // holds the engine twice: before the hour sound, while the informer's
    // reader finishes, and after it, until the hour file has started.
    engine.OnExternalSoundStarted = [&] {
      rig.log.Add("ExternalSoundStarted");
      if (informer_started) return;
      informer_started = true;
      SetLocal(11, 0, 0, 50);
      engine.Protocol()->OnMessage();
      engine.RequestLogReopen();
    };
    engine.OnMessages = [&] {
      engine.SoundReader()->ResumeReading();
      pending(engine, me_Evn_Reader_Finished);
    };
    engine.OnReopenLog = [&] { pending(engine, me_Evn_Reader_ExternalSoundStart); };
    engine.OnExternalSoundStopped = [&] {
      const TVEKSoundReader& reader = *engine.SoundReader();
      const bool whole = reader.Mode() == TVEKSoundReader::kModeIdle && reader.AvailableFrames() == 0;
      rig.log.Add(std::string("ExternalSoundStopped:") + (whole ? "read to its end" : "cut short"));
    };
  });
  e.SoundReader()->PauseReading();
  NextInformer();
  ASSERT_TRUE(WaitStarted(2));
  EXPECT_EQ(started, (std::vector<std::string>{"info.wav", "11_00.wav"}));
  ASSERT_TRUE(rig.PumpUntil("ExternalSoundStopped"));
  Settle();
  EXPECT_EQ(rig.log.Events(), (std::vector<std::string>{"ExternalSoundStarted", "ExternalSoundStarted",
                                                        "ExternalSoundStopped:read to its end"}));
  EXPECT_EQ(e.SoundMode(), msm_Normal);
}

TEST_F(TimedEngine, InformerSequenceSurvivesAShrinkingDirectory) {
  for (const char* f : {"a", "b", "c", "d", "e"}) Sound(std::string("informer/") + f + ".wav");
  EnableInformer();
  SetLocal(10, 0, 0, 0);
  Create();
  for (size_t i = 1; i <= 4; ++i) ASSERT_TRUE(PlayInformer(i));
  for (const char* f : {"c", "d", "e"}) unlink(rig.Path(std::string("informer/") + f + ".wav").c_str());
  NextInformer();
  ASSERT_TRUE(WaitStarted(5));
  EXPECT_EQ(started, (std::vector<std::string>{"a.wav", "b.wav", "c.wav", "d.wav", "a.wav"}));
}

TEST_F(TimedEngine, InformerRandomAndSmallDirectories) {
  for (const char* f : {"a", "b", "c"}) Sound(std::string("informer/") + f + ".wav");
  EnableInformer();
  rig.setup.Informer.Mode = infm_Random;
  rig.seams.InformerSeed = 4711;
  SetLocal(10, 0, 0, 0);
  Create();
  // Three files play in sequence even in random mode.
  for (size_t i = 1; i <= 4; ++i) ASSERT_TRUE(PlayInformer(i));
  EXPECT_EQ(started, (std::vector<std::string>{"a.wav", "b.wav", "c.wav", "a.wav"}));

  for (const char* f : {"d", "e"}) Sound(std::string("informer/") + f + ".wav");
  Create();
  for (size_t i = 1; i <= 8; ++i) ASSERT_TRUE(PlayInformer(i));
  for (size_t i = 1; i < started.size(); ++i) EXPECT_NE(started[i], started[i - 1]) << i;
}

TEST_F(TimedEngine, NoInformerInTheGuardTimeBeforeTheHour) {
  Sound("informer/a.wav");
  rig.setup.Hours.Enabled = true;
  EnableInformer();
  SetLocal(10, 58, 30, 0);
  Create();
  NextInformer();
  Settle();
  EXPECT_TRUE(started.empty());
  SetLocal(11, 5, 0, 0);  // the hour passed unannounced: no pass came in time
  NextInformer();
  ASSERT_TRUE(WaitStarted(1));
  EXPECT_EQ(started, std::vector<std::string>{"a.wav"});
}

// ----- DTMF through the sound card: background capture from a pipe fed with
// sox-made tones at real-time pace.

std::vector<int16_t> DtmfSamples(const std::string& keys) {
  const vektest::TempDir scratch;
  static const std::map<char, std::pair<int, int>> kPairs = {
      {'1', {697, 1209}}, {'2', {697, 1336}}, {'5', {770, 1336}}, {'7', {852, 1209}},
      {'0', {941, 1336}}, {'*', {941, 1209}}, {'#', {941, 1477}}};
  const int rate = 8000;
  std::vector<int16_t> out(rate * 3 / 2, 0);  // the engine opens capture meanwhile
  for (char k : keys) {
    if (k == ' ') {
      out.insert(out.end(), rate, 0);
      continue;
    }
    const auto [low, high] = kPairs.at(k);
    const std::string raw = scratch / "key.raw";
    vektest::Sh("sox -q -n -r 8000 -c 1 -b 16 -e signed-integer -t raw '" + raw + "' synth 0.16 sine " +
                std::to_string(low) + " synth 0.16 sine mix " + std::to_string(high) + " vol 0.5");
    const std::vector<int16_t> tone = TAlsaTestDevices::ReadRaw(raw);
    out.insert(out.end(), tone.begin(), tone.end());
    out.insert(out.end(), rate / 5, 0);
  }
  out.insert(out.end(), rate, 0);
  return out;
}

TEST(TimedEngineDtmf, ToneSequencesRunCommands) {
  EngineRig rig;
  rig.UseManualClock();
  TAlsaTestDevices alsa;
  const std::string fifo = alsa.MakeFifo("cap.fifo");
  alsa.AddCapture("vekdtmf", fifo);
  alsa.AddPlayback("vekplay", alsa.PathOf("out.raw"));
  alsa.Install();
  TFifoFeeder feeder(fifo, DtmfSamples("5*7# 1 2 12 0"), 8000, 640);
  TVEKAudioRT rt;
  TVEKAudioParams& audio = rig.setup.Audio;
  audio.InDevice = u"ALSA:vekdtmf";
  audio.OutDevice = u"ALSA:vekplay";
  audio.InSampleRate = 8000;
  audio.InFactor = 2;
  audio.InDtmfEnabled = true;
  rig.setup.System.LogDtmfTones = true;
  rig.setup.System.LogDtmfCommands = true;
  // Both commands name their program bare, as the configuration's own
  // example does: it is looked for in the program's directory.
  const std::string bin = rig.Path("bin");
  mkdir(bin.c_str(), 0755);
  rig.setup.System.ProgramDir = DaxAnsiToUnicodeRaw(bin);
  const std::string args = rig.Path("args");
  const std::string script = bin + "/gate.sh";
  WriteFile(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args + "'\n");
  chmod(script.c_str(), 0755);
  const std::string missing = bin + "/missing";

  std::vector<std::string> infos, errors;
  std::unique_ptr<TVEKManager> engine;
  TVEKManager* self = nullptr;  // also while the engine is being destroyed
  auto pop = [&](bool (TVEKManager::*pop)(std::u16string&), std::vector<std::string>& into) {
    std::u16string line;
    while ((self->*pop)(line)) {
      into.push_back(Narrow(line));
      // The first 1 ends its sequence by time before the 2 comes.
      if (into.back() == "DTMF tone: 1" && &into == &infos &&
          std::count(infos.begin(), infos.end(), "DTMF tone: 1") == 1)
        rig.Advance(15000);
    }
  };
  engine = std::make_unique<TVEKManager>(
      0, &rt, rig.Sections(), DaxAnsiToUnicodeRaw(rig.Path("vek.cfg")),
      [&](TVEKManager& e) {
        self = &e;
        e.OnInfoText = [&] { pop(&TVEKManager::PopInfoText, infos); };
        e.OnErrorText = [&] { pop(&TVEKManager::PopErrorText, errors); };
        e.SetDtmfCommands(u"*7#:EXECUTE:gate.sh; 12:N:Other; 0:E:missing");
      },
      rig.seams);
  const auto command = [](const std::vector<std::string>& lines, const std::string& text) {
    return std::count(lines.begin(), lines.end(), text);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(vektest::kPeerWaitMs);
  engine->Dispatcher().WaitServing(
      [&] {
        return (!errors.empty() && command(infos, "DTMF command: 0:EXECUTE:missing") == 1) ||
               std::chrono::steady_clock::now() > deadline;
      },
      5);
  engine.reset();

  std::vector<std::string> dtmf;
  for (const std::string& l : infos)
    if (l.rfind("DTMF", 0) == 0) dtmf.push_back(l);
  EXPECT_EQ(dtmf, (std::vector<std::string>{
                      "DTMF tone: 5", "DTMF tone: *", "DTMF tone: 7", "DTMF tone: #",
                      "DTMF command: *7#:EXECUTE:gate.sh", "DTMF tone: 1", "DTMF tone: 2",
                      "DTMF tone: 1", "DTMF tone: 2", "DTMF command: 12:NETWORK:Other", "DTMF tone: 0",
                      "DTMF command: 0:EXECUTE:missing"}));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], DaxFormatExecuteError(ENOENT, missing));
  ASSERT_TRUE(vektest::Exists(args));
  EXPECT_EQ(vektest::ReadFile(args), "*7#\n" + rig.Path("vek.cfg") + "\n");
}

// The front end hands over the commands while the engine already matches
// tones (background capture runs from its start). Every table handed over
// has the command the tones key, so they must always meet a whole one.
TEST(TimedEngineDtmf, CommandsSetWhileTonesArriveAreMatchedWhole) {
  TAlsaTestDevices alsa;
  const std::string fifo = alsa.MakeFifo("cap.fifo");
  alsa.AddCapture("vekdtmf", fifo);
  alsa.Install();
  TFifoFeeder feeder(fifo, DtmfSamples("12"), 8000, 640);
  TVEKAudioRT rt;
  EngineRig rig;  // the engine goes before the sound runtime
  rig.audio_rt = &rt;
  TVEKAudioParams& audio = rig.setup.Audio;
  audio.InDevice = u"ALSA:vekdtmf";
  audio.InSampleRate = 8000;
  audio.InFactor = 2;
  audio.InDtmfEnabled = true;
  rig.setup.System.LogDtmfCommands = true;
  TVEKManager& e = rig.Create(0);
  e.WaitThreadsStarted();
  std::atomic<bool> stop{false};
  std::thread front_end([&] {
    for (int i = 0; !stop.load(); ++i) e.SetDtmfCommands(i % 2 ? u"12:R" : u"5:R; 7:N:Other; 12:R");
  });
  const bool matched = rig.PumpUntil("InfoText:DTMF command: 12:RESET");
  stop = true;
  front_end.join();
  EXPECT_TRUE(matched);
}

// A NETWORK or CONNECT command keyed on the radio: the switch waits for
// the courtesy sound after the carrier; an hour sound that replaces that
// sound carries the switch instead. The server sees the close, and the
// next login goes into the new network (on the other server for CONNECT).
struct SwitchCase {
  const char* name;
  bool hour;
  bool connect;
  bool courtesy = true;  // off: the switch follows the carrier end itself
};

class TimedEngineSwitch : public testing::TestWithParam<SwitchCase> {
 protected:
  // The tones of the command come in on the card; only the COS line.
  static vektest::EngineVoiceRig::Options RigOptions() {
    vektest::EngineVoiceRig::Options o;
    o.capture = DtmfSamples("12");
    o.lines = {msig_COS};
    o.watched = {};
    return o;
  }

  void SetUp() override {
    rig.seams.LocalTime = [this] { return VekLocalFromMs(local.load()); };
    local.store(VekLocalToMs(At(10, 30, 0, 0)));
    rig.setup.Audio.InDtmfEnabled = true;
    rig.setup.System.LogDtmfCommands = true;
    vektest::SoxTone(rig.Path("courtesy.wav"), kWav, 0.4);
    rig.setup.Sounds.FileNames[csnd_Courtesy] = DaxAnsiToUnicodeRaw(rig.Path("courtesy.wav"));
    rig.setup.Sounds.Enabled[csnd_Courtesy] = GetParam().courtesy;
    rig.setup.Sounds.Enabled[csnd_CourtesyEmptyNet] = GetParam().courtesy;
    mkdir(rig.Path("hours").c_str(), 0755);
    vektest::SoxTone(rig.Path("hours/11_00.wav"), kWav, 1.0);
    rig.setup.Hours.Enabled = GetParam().hour;
    rig.setup.Hours.Dir = DaxAnsiToUnicodeRaw(rig.Path("hours"));
    rig.setup.Manager.DynamicPasswordMode = dpm_NO;
  }
  void TearDown() override {
    voice.Stop();
    if (other) other->Stop();
  }

  int Index(const std::string& prefix) const {
    const auto events = rig.log.Events();
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
  }

  std::atomic<int64_t> local{0};
  std::unique_ptr<vektest::FakeVekServer> other;
  vektest::EngineVoiceRig voice{RigOptions()};  // the engine goes before what it uses
  EngineRig& rig = voice.rig;
};

TEST_P(TimedEngineSwitch, CommandSwitchesAfterTheSoundThatEndsTheCarrier) {
  const SwitchCase c = GetParam();
  vektest::Script first, second;
  // Voice the server sends once the command has been keyed must not play.
  std::atomic<bool> talk{false}, talked{false};
  vektest::FakeClient talker;
  talker.id = "11";
  talker.name = "N11";
  first.Login()
      .Marker(0x83, vektest::ClientListTlvPayload({talker}))
      .TxPolicy(vektest::TxMode::Approve)
      .SkipAcks(true)
      .Call([&] { vektest::WaitUntil([&] { return talk.load(); }); })
      .Talk(1, vektest::Tone(600, 8000, 4000))
      .Call([&] { talked.store(true); })
      .Sleep(60000);
  second.Login({}, {"Test", "Other"}).Sleep(60000);
  if (c.connect) other = std::make_unique<vektest::FakeVekServer>(second);
  const auto other_at = [](const vektest::FakeVekServer& s) {
    return "127.0.0.1:" + std::to_string(s.Port()) + ":Other";
  };
  const std::string command = c.connect ? "12:CONNECT:" + other_at(*other) : "12:NETWORK:Other";
  ASSERT_EQ(voice.Start(c.connect ? std::vector<vektest::Script>{first} : std::vector<vektest::Script>{first, second},
                        [&](TVEKManager& e) { e.SetDtmfCommands(DaxAnsiToUnicodeRaw(command)); }),
            "");
  vektest::FakeVekServer& target = c.connect ? *other : *voice.fake;
  const int login = c.connect ? 1 : 2;  // the connection that logs in anew
  const std::string to = other_at(target);
  ASSERT_TRUE(rig.PumpUntil("InfoText:DTMF command: " + command));
  talk.store(true);
  ASSERT_TRUE(rig.Pump([&] { return talked.load(); }));
  rig.PumpFor(300);
  EXPECT_EQ(rig.CountOf("RxStarted"), 0);

  voice.Cos(true);
  ASSERT_TRUE(rig.PumpUntil("TxApproved"));
  voice.Cos(false);
  ASSERT_TRUE(rig.Pump([&] {
    // The hour strikes while the courtesy sound plays.
    if (c.hour && rig.CountOf("ServiceSoundStarted") > 0) local.store(VekLocalToMs(At(11, 0, 0, 50)));
    return rig.CountOf("ServerSwitch:") > 0;
  }));
  EXPECT_EQ(rig.log.Events()[Index("ServerSwitch:")], "ServerSwitch:" + to);
  ASSERT_TRUE(voice.fake->WaitForDisconnects(1));
  if (c.hour) {
    ASSERT_GE(Index("ExternalSoundStopped"), 0);
    EXPECT_GT(Index("ServerSwitch:"), Index("ExternalSoundStopped"));
    EXPECT_GT(Index("ExternalSoundStarted"), Index("ServiceSoundStarted"));
  } else if (c.courtesy) {
    EXPECT_GT(Index("ServerSwitch:"), Index("ServiceSoundStarted"));
    EXPECT_EQ(Index("ExternalSoundStarted"), -1);
  } else {
    EXPECT_EQ(Index("ServiceSoundStarted"), -1);
  }
  const auto is_login = [login](const vektest::ClientItem& i) {
    return i.connection == login && i.text.rfind("CT:", 0) == 0;
  };
  // Serving the owner callbacks meanwhile: the engine waits for them.
  ASSERT_TRUE(rig.Pump(
      [&] {
        const auto items = target.Items();
        return std::any_of(items.begin(), items.end(), is_login);
      }));
  for (const vektest::ClientItem& i : target.Items()) {
    if (is_login(i)) {
      EXPECT_EQ(vektest::TagValue(i.text, "NT"), "Other");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, TimedEngineSwitch,
                         testing::Values(SwitchCase{"Network", false, false}, SwitchCase{"NetworkAfterHour", true, false},
                                         SwitchCase{"Connect", false, true},
                                         SwitchCase{"NetworkWithoutCourtesy", false, false, false}),
                         vektest::RowName());

}  // namespace
