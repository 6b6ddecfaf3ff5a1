// The engine's voice paths end to end: the VEK test server on one side, the
// sound card over ALSA file PCMs on named pipes and the radio lines as files
// on the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "engine/mngr.h"
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
#include "support/test_files.h"
#include "support/wait.h"

// The engine's raised events, read under its lock.
struct TVEKManagerProbe {
  static bool Pending(TVEKManager& e, TVEKManagerEvent event) {
    std::lock_guard<std::mutex> guard(e.lock_);
    return e.pending_[event] != 0;
  }
};

namespace {

using namespace vektest;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Reading the radio side

// Runs (start sample, length in samples) of 20-ms windows that are a clean
// tone at hz and not quiet.
struct Run {
  size_t start = 0, length = 0;
};
std::vector<Run> ToneRuns(const std::vector<int16_t>& s, int rate, double hz) {
  const size_t n = static_cast<size_t>(rate / 50);
  std::vector<Run> runs;
  for (size_t at = 0; at + n <= s.size(); at += n) {
    double c = 0, q = 0, energy = 0;
    for (size_t i = 0; i < n; ++i) {
      const double w = 2 * std::numbers::pi * hz * static_cast<double>(i) / rate;
      c += s[at + i] * std::cos(w);
      q += s[at + i] * std::sin(w);
      energy += static_cast<double>(s[at + i]) * s[at + i];
    }
    const bool tone = energy > n * 500.0 * 500.0 && (c * c + q * q) / (energy * n / 2) > 0.6;
    if (!tone) continue;
    if (!runs.empty() && runs.back().start + runs.back().length == at)
      runs.back().length += n;
    else
      runs.push_back({at, n});
  }
  return runs;
}

// The tone's total time in the stream.
size_t ToneMs(const std::vector<int16_t>& s, int rate, double hz) {
  size_t total = 0;
  for (const Run& r : ToneRuns(s, rate, hz)) total += r.length;
  return total * 1000 / static_cast<size_t>(rate);
}

bool Contains(const std::vector<int16_t>& s, const std::vector<int16_t>& part) {
  return std::search(s.begin(), s.end(), part.begin(), part.end()) != s.end();
}

// First sample of the longest tone run, or npos.
size_t ToneStart(const std::vector<int16_t>& s, int rate, double hz) {
  const auto runs = ToneRuns(s, rate, hz);
  if (runs.empty()) return std::string::npos;
  return std::max_element(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
           return a.length < b.length;
         })->start;
}

// ---------------------------------------------------------------------------
// The rig: engine, server, pipes, lines, sounds

constexpr double kVoiceHz = 600;
constexpr double kInputHz = 800;
// One frequency per control sound, far enough apart for a 20-ms fit.
double SoundHz(int sound) { return 1000 + 250 * sound; }

// The voice tests' rig: a 400-ms play delay, neither path processing the
// sound unless a case says so, and control sounds as tones at SoundHz.
class VoiceRig : public EngineVoiceRig {
 public:
  struct Options : EngineVoiceRig::Options {
    Options() { play_delay = 400; }
    std::vector<int> sounds;                      // enabled control sounds
    std::function<void(TVEKAudioParams&)> audio;  // last word on [Audio]
  };

  explicit VoiceRig(const Options& o) : EngineVoiceRig(o) {
    TVEKAudioParams& a = rig.setup.Audio;
    a.InPreCapturedTime = 0;
    a.OutDelayLatency = false;
    a.InAGC.Enabled = a.OutAGC.Enabled = 0;
    a.InHPFEnabled = a.OutHPFEnabled = false;
    if (o.audio) o.audio(a);
    for (int s : o.sounds) {
      const std::string wav = rig.Path("snd" + std::to_string(s) + ".wav");
      const std::string cmd = "sox -n -r 8000 -c 1 -b 16 -e signed-integer " + wav +
                              " synth 0.4 sine " + std::to_string(SoundHz(s)) + " vol 0.5";
      vektest::Sh(cmd);
      rig.setup.Sounds.FileNames[s] = DaxAnsiToUnicodeRaw(wav);
      rig.setup.Sounds.Enabled[s] = true;
    }
  }

  // Idle again: PTT released, every block back, no loop error.
  void ExpectAtRest() {
    EXPECT_TRUE(rig.Pump([&] { return !Ptt().On() && rig.PoolBlocks() == 1050; }))
        << "ptt " << Ptt().On() << " blocks " << rig.PoolBlocks();
    EXPECT_EQ(rig.CountOf("ErrorText:VEK main loop error"), 0);
  }
};

std::vector<FakeClient> Clients(const std::vector<const char*>& ids) {
  std::vector<FakeClient> list;
  for (const char* id : ids) {
    FakeClient c;
    c.id = id;
    c.name = std::string("N") + id;
    list.push_back(c);
  }
  return list;
}

std::vector<int16_t> Reference(const std::vector<int16_t>& pcm) {
  GsmCodec enc, dec;
  return dec.Decode(enc.Encode(pcm));
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Received voice

struct RxRow {
  const char* name;
  std::vector<int> sounds;
  std::vector<unsigned> talkers = {1};  // one second each, back to back
  int out_rate = 8000;
  bool device = true;
  int rx_started = 1;
};

const RxRow kRxRows[] = {
    {"roger off", {}},
    {"roger on", {csnd_Roger}},
    {"begin-of-transmission sound", {csnd_RadioBOT}},
    {"two talkers back to back", {}, {1, 2}, 8000, true, 2},
    {"talker outside the list (empty id)", {}, {0}},
    {"OutSampleRate 48000", {}, {1}, 48000},
    {"no output device, roger on", {csnd_Roger}, {1}, 8000, false},
    {"no output device", {}, {1}, 8000, false},
    {"no output device, begin-of-transmission sound", {csnd_RadioBOT}, {1}, 8000, false},
};

class EngineVoiceRx : public ::testing::TestWithParam<RxRow> {};

TEST_P(EngineVoiceRx, ReceivedVoice) {
  const RxRow& row = GetParam();
  VoiceRig::Options o;
  o.out_rate = row.out_rate;
  o.play_device = row.device;
  o.sounds = row.sounds;
  VoiceRig r(o);
  const auto voice = Tone(kVoiceHz, 8000, 8000);
  Script s;
  s.Login().Marker(0x83, ClientListTlvPayload(Clients({"11", "22"}))).Sleep(300);
  std::vector<int16_t> all;
  for (unsigned t : row.talkers) {
    s.Talk(t, voice);
    all.insert(all.end(), voice.begin(), voice.end());
  }
  s.KeepAlive().Sleep(30000);
  EXPECT_EQ(r.Start(s), "");
  ASSERT_TRUE(r.rig.PumpUntil("RxStopped"));
  r.ExpectAtRest();
  if (row.sounds == std::vector<int>{csnd_Roger}) {
    EXPECT_TRUE(r.rig.PumpUntil("ServiceSoundStopped"));
  }
  EXPECT_EQ(r.rig.CountOf("RxStarted"), row.rx_started);
  EXPECT_EQ(r.rig.CountOf("RxStopped"), 1);
  EXPECT_EQ(r.Light().Ons(), 0);
  if (!row.device) {
    // No dead carrier for the voice; the own sounds still key their time.
    if (row.sounds.empty()) {
      EXPECT_EQ(r.Ptt().Ons(), 0);
    }
    EXPECT_EQ(r.rig.CountOf("WarningText:RX: the playback device cannot be opened"), 1);
    // Nothing held the line: the next carrier asks for the channel.
    r.Cos(true);
    EXPECT_TRUE(r.WaitLines("TX0", 1));
    r.Cos(false);
    return;
  }
  EXPECT_EQ(r.Ptt().Ons(), 1) << "one keying for the whole reception";
  EXPECT_EQ(r.drainer->Sessions(), 1) << "sounds and voice in one playback stream";
  const bool one_talker = row.out_rate == 8000 && row.talkers.size() == 1;
  const auto ref = Reference(all);
  const size_t voice_ms = row.talkers.size() == 1 ? 900u : 1300u;
  // The pipe and the card still hold the end when the engine is done.
  const auto heard = [&](const std::vector<int16_t>& s) {
    if (one_talker ? !Contains(s, ref) : ToneMs(s, row.out_rate, kVoiceHz) < voice_ms) return false;
    for (int sound : row.sounds)
      if (ToneMs(s, 8000, SoundHz(sound)) < 300u) return false;
    return true;
  };
  EXPECT_TRUE(r.rig.Pump([&] { return heard(r.drainer->Samples()); }));
  r.rig.PumpFor(300);  // a second copy would show here
  const auto out = r.drainer->Samples();
  size_t voice_at = ToneStart(out, row.out_rate, kVoiceHz);
  if (one_talker) {
    // The delay lets the player ride out the network's jitter: the
    // decode arrives whole, once.
    auto hit = std::search(out.begin(), out.end(), ref.begin(), ref.end());
    ASSERT_NE(hit, out.end());
    EXPECT_EQ(std::search(hit + 1, out.end(), ref.begin(), ref.end()), out.end());
    voice_at = static_cast<size_t>(hit - out.begin());
  } else {
    // A new talker's start drops what the card still held of the last one.
    EXPECT_GE(ToneMs(out, row.out_rate, kVoiceHz), voice_ms);
  }
  ASSERT_NE(voice_at, std::string::npos);
  TFifoDrainer::TClock::time_point first_voice;
  ASSERT_TRUE(r.drainer->SampleTime(voice_at, first_voice));
  EXPECT_LT(r.Ptt().FirstOn(), first_voice) << "PTT before the first voice sample";
  for (int sound : row.sounds) {
    EXPECT_GE(ToneMs(out, 8000, SoundHz(sound)), 300u);
    const size_t at = ToneStart(out, 8000, SoundHz(sound));
    if (sound == csnd_Roger) {
      EXPECT_GT(at, voice_at);
    } else {
      EXPECT_LT(at, voice_at);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EngineVoice, EngineVoiceRx, ::testing::ValuesIn(kRxRows), RowName());

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Carrier and transmission

enum class TxKind { Granted, Rejected, Offline, TakenAway };

struct TxRow {
  const char* name;
  TxKind kind;
  std::vector<int> sounds;
  int expected;  // the sound at the carrier's end
  std::vector<const char*> clients = {"11", "22"};
  int courtesy_delay = 0;
};

const TxRow kTxRows[] = {
    {"courtesy", TxKind::Granted, {csnd_Courtesy, csnd_CourtesyEmptyNet}, csnd_Courtesy},
    {"empty net", TxKind::Granted, {csnd_Courtesy, csnd_CourtesyEmptyNet}, csnd_CourtesyEmptyNet,
     {"TEST1"}},
    {"CourtesyDelay 1000", TxKind::Granted, {csnd_Courtesy}, csnd_Courtesy, {"11", "22"}, 1000},
    {"reject", TxKind::Rejected, {csnd_Reject, csnd_Courtesy}, csnd_Reject},
    {"offline", TxKind::Offline, {csnd_NoConnection, csnd_Courtesy}, csnd_NoConnection},
    {"taken away", TxKind::TakenAway, {csnd_Reject, csnd_Courtesy}, csnd_Reject},
};

class EngineVoiceTx : public ::testing::TestWithParam<TxRow> {};

TEST_P(EngineVoiceTx, Transmission) {
  const TxRow& row = GetParam();
  VoiceRig::Options o;
  o.sounds = row.sounds;
  o.capture = Tone(kInputHz, 8000, 8000 * 40);
  o.online = row.kind != TxKind::Offline;
  VoiceRig r(o);
  Script s;
  if (row.kind == TxKind::Rejected)
    s.TxPolicy(TxMode::Ignore);
  else
    s.TxPolicy(TxMode::Approve, 300, row.kind == TxKind::TakenAway ? 600 : 0);
  s.Login().Marker(0x83, ClientListTlvPayload(Clients(row.clients)));
  if (row.kind == TxKind::Rejected) s.KeepAlives(500);
  s.Sleep(30000);
  EXPECT_EQ(r.Start(s, [&](TVEKManager& e) { e.SetPostCaptureWait(row.courtesy_delay); }), "");
  if (o.online) {
    ASSERT_TRUE(r.rig.PumpUntil("ClientList"));
  }
  r.Cos(true);
  ASSERT_TRUE(r.rig.PumpUntil("CarrierOn"));
  switch (row.kind) {
    case TxKind::Granted:
    case TxKind::TakenAway:
      ASSERT_TRUE(r.rig.PumpUntil("TxApproved"));
      EXPECT_TRUE(r.rig.Pump([&] { return r.Light().On(); })) << "LIGHT from approval";
      EXPECT_FALSE(r.Ptt().On());
      break;
    case TxKind::Rejected:
      // Unanswered, the request goes again with keep-alives.
      EXPECT_TRUE(r.WaitLines("TX0", 3));
      break;
    case TxKind::Offline:
      break;
  }
  if (row.kind == TxKind::TakenAway) {
    ASSERT_TRUE(r.rig.PumpUntil("TxAbortedByServer"));
    EXPECT_TRUE(r.rig.Pump([&] { return !r.Light().On(); }));
  } else if (row.kind == TxKind::Granted) {
    // The carrier holds until 600 ms of input reached the server.
    ASSERT_TRUE(r.rig.Pump([&] { return r.Sent().size() >= 8000 * 600 / 1000; }));
  } else {
    r.rig.PumpFor(600);  // a carrier of some length that never transmits
  }
  const auto cos_off = Clock::now();
  r.Cos(false);
  ASSERT_TRUE(r.rig.PumpUntil("CarrierOff"));
  ASSERT_TRUE(r.rig.PumpUntil("ServiceSoundStopped"));
  r.ExpectAtRest();
  EXPECT_EQ(r.Ptt().Ons(), 1) << "keyed for the sound only";
  // The pipe and the card still hold the sound's end when the engine is
  // done with it.
  EXPECT_TRUE(r.rig.Pump([&] { return ToneMs(r.drainer->Samples(), 8000, SoundHz(row.expected)) >= 300u; }));
  const auto out = r.drainer->Samples();
  for (int other : row.sounds) {
    if (other != row.expected) {
      EXPECT_EQ(ToneMs(out, 8000, SoundHz(other)), 0u);
    }
  }
  if (row.courtesy_delay > 0) {
    EXPECT_GE(r.Ptt().FirstOn() - cos_off, std::chrono::milliseconds(row.courtesy_delay - 10));
  }
  if (row.kind == TxKind::Offline) {
    EXPECT_EQ(r.Lines("TX0"), 0);
    return;
  }
  if (row.kind == TxKind::Granted) {
    EXPECT_EQ(r.Lines("TX0"), 1);
    EXPECT_TRUE(r.rig.PumpUntil("TxStopped"));
    EXPECT_TRUE(r.WaitLines("RX0", 2)) << "the channel given back";
    EXPECT_GE(ToneMs(r.Sent(), 8000, kInputHz), 300u) << "packets carry the input";
  }
}

INSTANTIATE_TEST_SUITE_P(EngineVoice, EngineVoiceTx, ::testing::ValuesIn(kTxRows), RowName());

}  // namespace

namespace {

TEST(EngineVoice, AnotherTalkerTakesOverTheTransmission) {
  VoiceRig::Options o;
  o.capture = Tone(kInputHz, 8000, 8000 * 40);
  VoiceRig r(o);
  const auto voice = Tone(kVoiceHz, 8000, 8000);
  Script s;
  s.TxPolicy(TxMode::Approve, 300)
      .SkipAcks(true)
      .Login()
      .Marker(0x83, ClientListTlvPayload(Clients({"11", "22"})))
      .ExpectLine("TX0")
      .Sleep(900)
      .Talk(2, voice)
      .KeepAlive()
      .Sleep(30000);
  EXPECT_EQ(r.Start(s), "");
  r.Cos(true);
  ASSERT_TRUE(r.rig.PumpUntil("TxApproved"));
  // The server hands the channel to talker 2 in the middle of the turn:
  // that talker's over plays whole.
  ASSERT_TRUE(r.rig.PumpUntil("TxAbortedByServer"));
  ASSERT_TRUE(r.rig.PumpUntil("RxStopped"));
  const auto ref = Reference(voice);
  EXPECT_TRUE(r.rig.Pump([&] { return Contains(r.drainer->Samples(), ref); }));
  EXPECT_EQ(r.rig.CountOf("RxStarted"), 1);
  r.Cos(false);
  r.ExpectAtRest();
}

TEST(EngineVoice, ApprovalCrossingTheCarrierDropLeavesTheEngineReady) {
  VoiceRig::Options o;
  o.capture = Tone(kInputHz, 8000, 8000 * 40);
  VoiceRig r(o);
  Script s;
  s.TxPolicy(TxMode::Approve, 100).Login().Sleep(30000);
  // Runs while the engine waits: the approval reaches the protocol and the
  // carrier drops, so one pass sees both.
  const auto drop_the_carrier_at_approval = [&](TVEKManager& e) {
    e.OnTxRequested = [&r, &e] {
      r.rig.log.Add("TxRequested");
      WaitUntil([&e] { return e.Protocol()->State() == PROTO_STATE_TX; });
      r.Cos(false);
    };
  };
  EXPECT_EQ(r.Start(s, drop_the_carrier_at_approval), "");
  r.Cos(true);
  ASSERT_TRUE(r.rig.PumpUntil("CarrierOff"));
  EXPECT_TRUE(r.rig.Pump([&] { return r.rig.engine().LinkState() == mst_Idle; }))
      << VekManagerStateName(r.rig.engine().LinkState());
  EXPECT_TRUE(r.WaitLines("RX0", 2)) << "the granted channel is given back";
  r.rig.PumpFor(300);
  r.Cos(true);
  EXPECT_TRUE(r.WaitLines("TX0", 2)) << "a new carrier asks again";
  r.Cos(false);
  r.ExpectAtRest();
}

}  // namespace

namespace {

double Rms(const std::vector<int16_t>& s) {
  double sum = 0;
  for (int16_t v : s) sum += static_cast<double>(v) * v;
  return s.empty() ? 0 : std::sqrt(sum / static_cast<double>(s.size()));
}

// The capture filter and AGC act on what is sent.
struct CaptureRow {
  const char* name;
  double hz;
  int amplitude;
  std::function<void(TVEKAudioParams&)> audio;
  double min_ratio, max_ratio;  // sent RMS / input RMS
};

const CaptureRow kCaptureRows[] = {
    {"100 Hz passes without the filter", 100, 8000, {}, 0.5, 2.0},
    {"InHPF attenuates 100 Hz", 100, 8000, [](TVEKAudioParams& a) { a.InHPFEnabled = true; }, 0, 0.2},
    {"InAGC lifts a quiet tone", kInputHz, 300, [](TVEKAudioParams& a) { a.InAGC.Enabled = 1; }, 3, 1e9},
};

class EngineVoiceCapture : public ::testing::TestWithParam<CaptureRow> {};

TEST_P(EngineVoiceCapture, FilterAndAgc) {
  const CaptureRow& row = GetParam();
  VoiceRig::Options o;
  o.capture = Tone(row.hz, row.amplitude, 8000 * 40);
  o.audio = row.audio;
  VoiceRig r(o);
  Script s;
  s.TxPolicy(TxMode::Approve, 0).Login().Sleep(30000);
  EXPECT_EQ(r.Start(s), "");
  r.Cos(true);
  ASSERT_TRUE(r.rig.PumpUntil("TxApproved"));
  // The carrier holds until 1.2 s of input reached the server.
  ASSERT_TRUE(r.rig.Pump([&] { return r.Sent().size() >= 8000 * 1200 / 1000; }));
  r.Cos(false);
  ASSERT_TRUE(r.rig.PumpUntil("TxStopped"));
  r.ExpectAtRest();
  const auto sent = r.Sent();
  ASSERT_GE(sent.size(), 8000u);
  // The middle, past the filter's and the AGC's settling.
  const std::vector<int16_t> middle(sent.begin() + 3200, sent.end() - 1600);
  const double ratio = Rms(middle) / (row.amplitude / std::sqrt(2.0));
  EXPECT_GE(ratio, row.min_ratio);
  EXPECT_LE(ratio, row.max_ratio);
}

INSTANTIATE_TEST_SUITE_P(EngineVoice, EngineVoiceCapture, ::testing::ValuesIn(kCaptureRows), RowName());

}  // namespace

namespace {

// The connect sound after login, and the files its script names after it,
// under one keying.
TEST(EngineVoice, ConnectSoundThenTheFilesItsScriptNames) {
  VoiceRig::Options o;
  o.sounds = {csnd_Connect};
  VoiceRig r(o);
  const std::string dir = r.rig.Path("ext");
  ASSERT_NO_FATAL_FAILURE(vektest::Sh("mkdir -p " + dir + " && sox -n -r 8000 -c 1 -b 16 -e signed-integer " +
                                       dir + "/extra.wav synth 0.4 sine 3000 vol 0.5"));
  const std::string script = r.rig.Path("connect.sh");
  // The executor's second argument is the output file; no ".wav" given.
  WriteFile(script, "#!/bin/sh\necho extra > \"$2\"\n");
  chmod(script.c_str(), 0700);
  TVEKSoundParameters& s = r.rig.setup.Sounds;
  s.ConnectSoundExtEnabled = true;
  s.ConnectSoundExtScript = DaxAnsiToUnicodeRaw(script);
  s.ConnectSoundExtDir = DaxAnsiToUnicodeRaw(dir + "/");
  Script server;
  server.Login().Sleep(30000);
  EXPECT_EQ(r.Start(server), "");
  ASSERT_TRUE(r.rig.PumpUntil("ExternalSoundStopped"));
  r.ExpectAtRest();
  EXPECT_EQ(r.rig.CountOf("ServiceSoundStarted"), 1);
  EXPECT_EQ(r.rig.CountOf("ErrorText"), 0);
  EXPECT_EQ(r.Ptt().Ons(), 1);
  // The pipe and the card still hold the end when the engine is done.
  EXPECT_TRUE(r.rig.Pump([&] { return ToneMs(r.drainer->Samples(), 8000, 3000) >= 300u; }));
  const auto out = r.drainer->Samples();
  EXPECT_GE(ToneMs(out, 8000, SoundHz(csnd_Connect)), 300u);
  EXPECT_LT(ToneStart(out, 8000, SoundHz(csnd_Connect)), ToneStart(out, 8000, 3000));
  // The protocol's own thread takes the request.
  EXPECT_TRUE(r.rig.Pump([&] { return r.rig.engine().Protocol()->ReceiveEnabled(); }));
}

}  // namespace

namespace {

TEST(EngineVoice, WithoutASoundCardAnOwnSoundStillReleasesPtt) {
  VoiceRig::Options o;
  o.sounds = {csnd_Connect};
  o.engine_options = mopt_NoSoundCard;
  VoiceRig r(o);
  Script s;
  s.Login().Sleep(30000);
  EXPECT_EQ(r.Start(s), "");
  ASSERT_TRUE(r.rig.PumpUntil("ServiceSoundStopped"));
  r.ExpectAtRest();
  EXPECT_EQ(r.rig.engine().SoundMode(), msm_Normal);
  // The protocol's own thread takes the request.
  EXPECT_TRUE(r.rig.Pump([&] { return r.rig.engine().Protocol()->ReceiveEnabled(); }));
}

}  // namespace

namespace {

// The connect sound cuts an informer short whose end the reader has already
// reported: that late end must not end the connect sound before it starts
// (the connect sound's own start would then key PTT for good).
TEST(EngineVoice, ALateEndOfACutSoundDoesNotEndTheNextOne) {
  EngineRig rig;
  rig.UseManualClock();
  rig.seams.LocalTime = [] {
    TDaxDateTime t;
    t.Year = 2026;
    t.Month = 5;
    t.Day = 4;
    t.Hour = 10;
    t.Minute = 30;
    return t;
  };
  const std::string informer = rig.Path("informer");
  mkdir(informer.c_str(), 0755);
  SoxTone(informer + "/info.wav", "-r 8000 -c 1 -b 16 -e signed-integer", 0.1);
  SoxTone(rig.Path("connect.wav"), "-r 8000 -c 1 -b 16 -e signed-integer", 0.2);
  rig.setup.Informer.Dir = DaxAnsiToUnicodeRaw(informer);
  rig.setup.Informer.Enabled = 1;
  rig.setup.Informer.Interval = 20;
  rig.setup.Sounds.FileNames[csnd_Connect] = DaxAnsiToUnicodeRaw(rig.Path("connect.wav"));
  rig.setup.Sounds.Enabled[csnd_Connect] = true;
  rig.setup.Manager.DynamicPasswordMode = dpm_NO;
  TVEKAccount account;
  VekDefaultAccount(account);
  account.CharsetName = u"ASCII";
  TVEKLoginInfo info(account);
  Script script;
  script.Login().Sleep(30000);
  FakeVekServer fake(script);
  TVEKServer server;
  server.SetMainServer(u"127.0.0.1", fake.Port());
  TVEKManager& e = rig.Create(mopt_NoSoundCard, [&rig](TVEKManager& engine) {
    // Runs while the engine waits, just before it asks for the connect
    // sound: the cut informer's reader reports its end meanwhile.
    engine.OnSessionInitiated = [&rig, &engine] {
      rig.log.Add("SessionInitiated");
      engine.SoundReader()->ResumeReading();
      rig.Pump([&] { return engine.SoundReader()->Mode() == TVEKSoundReader::kModeIdle; });
      EXPECT_TRUE(WaitUntil([&engine] { return TVEKManagerProbe::Pending(engine, me_Evn_Reader_Finished); }));
    };
  });
  std::u16string error;
  ASSERT_TRUE(e.CreateSignalLine(msig_PTT, u"FILE:" + DaxAnsiToUnicodeRaw(rig.Path("ptt")), error));
  e.SetLoginInfo(&info);
  e.SetServerEntry(&server);
  e.SetNetwork(u"Test");
  e.WaitThreadsStarted();
  e.SetRadioEnabled(true);  // at once, where the run state waits for a pass
  e.SoundReader()->PauseReading();
  rig.Advance(20000);
  ASSERT_TRUE(rig.PumpUntil("ExternalSoundStarted"));
  e.SetOnline(true);
  ASSERT_TRUE(rig.PumpUntil("ServiceSoundStopped")) << "the connect sound plays to its end";
  EXPECT_TRUE(rig.Pump([&] { return !Exists(rig.Path("ptt")) && e.SoundMode() == msm_Normal; }));
  EXPECT_EQ(rig.CountOf("ServiceSoundStarted"), 1);
  rig.Destroy();
  fake.Stop();
}

}  // namespace
