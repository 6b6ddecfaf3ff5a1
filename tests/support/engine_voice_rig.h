// An engine on a sound card and radio lines a test can see, against the VEK
// test server on 127.0.0.1: the card is two ALSA file PCMs over named pipes,
// "cap" fed and "play" drained at real-time pace, and the radio lines are
// files. The voice tests, the DTMF switch tests and the voice benchmark
// share it.
//
//   vektest::EngineVoiceRig::Options o;     // rates, capture, lines, engine options
//   o.capture = Tone(800, 8000, 8000 * 40);
//   vektest::EngineVoiceRig r(o);           // devices, [Audio], account made
//   r.rig.setup.Sounds.Enabled[...] = ...;  // the sections can change until Start
//   r.Start(script, [](TVEKManager& e) {    // "" or what went wrong; the callback
//     e.SetDtmfCommands(...); });           //   runs before the engine's threads start
//   r.Cos(true);                            // the COS file made (false: removed)
//   r.Ptt().On(); r.drainer->Samples();     // what the radio side saw
//   r.WaitLines("TX0", 1);                  // what the server saw
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/mngr.h"
#include "net/logininfo.h"
#include "net/server.h"
#include "station/portaudio.h"
#include "support/alsa_devices.h"
#include "support/engine_rig.h"
#include "support/fake_vek_server.h"
#include "support/wait.h"

namespace vektest {

// Keeps when a signal file appeared and went. The folder's kernel events
// queue up while the watch's thread waits, so a busy machine delays a
// keying but never hides it (as it could from a poll).
class SignalFileWatch {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SignalFileWatch(std::string path);
  ~SignalFileWatch();
  SignalFileWatch(const SignalFileWatch&) = delete;
  SignalFileWatch& operator=(const SignalFileWatch&) = delete;

  // When the file appeared (on) or went (off), in order.
  std::vector<Clock::time_point> Times(bool on) const;
  int Ons() const { return static_cast<int>(Times(true).size()); }
  bool On() const;
  Clock::time_point FirstOn() const;

 private:
  void Run();

  std::string path_;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<std::pair<bool, Clock::time_point>> changes_;
  std::thread thread_;
};

class EngineVoiceRig {
 public:
  struct Options {
    int out_rate = 8000;           // the playback pipe's and [Audio] OutSampleRate
    bool play_device = true;       // false: no playback device ("ALSA:none")
    int in_factor = 2;             // [Audio] InFactor; the pipe is fed a capture buffer at a time
    std::vector<int16_t> capture;  // fed to the capture pipe at 8000 Hz, zeros after it
    uint32_t engine_options = 0;   // mopt_*
    uint32_t play_delay = 0;
    // msig_* lines made as the files "ptt", "cos" and "light", and those of
    // them a SignalFileWatch follows.
    std::vector<int> lines = {msig_PTT, msig_COS, msig_LIGHT};
    std::vector<int> watched = {msig_PTT, msig_LIGHT};
    std::u16string callsign = u"TEST1";
    bool online = true;  // Start goes online and waits for the session
  };

  explicit EngineVoiceRig(const Options& options);
  ~EngineVoiceRig();
  EngineVoiceRig(const EngineVoiceRig&) = delete;
  EngineVoiceRig& operator=(const EngineVoiceRig&) = delete;

  // The server (connection i runs scripts[min(i, n-1)]), then the engine
  // with its lines, login data and server entry, running. before_run comes
  // last before the engine's threads start. Returns "" or what went wrong.
  std::string Start(std::vector<Script> scripts, const std::function<void(TVEKManager&)>& before_run = {});
  std::string Start(const Script& script, const std::function<void(TVEKManager&)>& before_run = {}) {
    return Start(std::vector<Script>{script}, before_run);
  }
  // The engine goes, then the server.
  void Stop();

  std::string LinePath(int line) const;
  void Cos(bool on);
  SignalFileWatch& Watch(int line) { return *watches_.at(line); }
  SignalFileWatch& Ptt() { return Watch(msig_PTT); }
  SignalFileWatch& Light() { return Watch(msig_LIGHT); }
  void StopWatches() { watches_.clear(); }

  // Lines the server received that are exactly text.
  int Lines(const std::string& text) const;
  bool WaitLines(const std::string& text, int n, uint32_t ms = kPeerWaitMs);
  // The voice of the transmission packets the server received.
  std::vector<int16_t> Sent() const;

  const Options opt;
  TAlsaTestDevices alsa;
  std::unique_ptr<TFifoDrainer> drainer;
  std::unique_ptr<TFifoFeeder> feeder;
  std::unique_ptr<TVEKAudioRT> rt;
  EngineRig rig;
  TVEKAccount account;
  std::unique_ptr<TVEKLoginInfo> info;
  TVEKServer server;
  std::unique_ptr<FakeVekServer> fake;

 private:
  std::map<int, std::unique_ptr<SignalFileWatch>> watches_;
};

}  // namespace vektest
