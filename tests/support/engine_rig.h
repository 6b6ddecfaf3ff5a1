// A whole engine for tests, owned and pumped by the test thread.
//
//   vektest::EngineRig rig;                 // every key's default (VekSetupDefaults),
//                                           // every directory inside rig.dir
//   rig.setup.Server.ServerPort = ...;      // change sections before Create
//   rig.UseManualClock(1000);               // optional: the engine's clock (and the
//   rig.Advance(3000);                      //   radio pool's) only moves by Advance
//   rig.audio_rt = rt.get();                // optional audio runtime (ALSA tests)
//   TVEKManager& e = rig.Create();          // options default: mopt_NoSoundCard;
//   rig.Create(opts, [](TVEKManager& e) {   //   the callback runs after the rig's own
//     e.OnErrorText = ...; });              //   owner callbacks are set, before any worker
//   rig.Pump([&] { return ...; });          // serves owner callbacks until true or timeout
//                                           //   (kPeerWaitMs unless given)
//   rig.PumpFor(200);
//   rig.PumpUntil("ServerConnecting:");     // until an event starts with the text
//   rig.log                                 // EventLog of owner callbacks, in call order
//   rig.OffThreadCalls()                    // callbacks that ran off the test thread (0)
//   rig.PoolBlocks()                        // free + card queue + captured ring + player
//                                           //   queue blocks + reader ring (1050 at rest)
//   rig.Destroy();                          // also done by the destructor
//
// Private engine state: a test file may define `struct TVEKManagerProbe`
// (a friend of TVEKManager) with static accessors of its own.
//
// Owner callbacks record "Name" or "Name:arg:arg". Text events pop their
// FIFO and record one entry per line: "ErrorText:<line>", "InfoText:<line>",
// "WarningText:<line>", "RecorderFile:<name>". Texts are 8-bit raw.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/mngr.h"
#include "foundation/setup_data.h"
#include "net/logininfo.h"
#include "net/server.h"
#include "support/event_log.h"
#include "support/test_files.h"
#include "support/wait.h"

namespace vektest {

class EngineRig {
 public:
  EngineRig();
  ~EngineRig();
  EngineRig(const EngineRig&) = delete;
  EngineRig& operator=(const EngineRig&) = delete;

  TempDir dir;
  TVEKSetupData setup;
  // Handed to the engine at Create; the clock is the rig's.
  TVEKManagerSeams seams;
  // Handed to the engine at Create (sound tests make one; not owned).
  TVEKAudioRT* audio_rt = nullptr;
  EventLog log;

  TVEKManagerSections Sections();
  void UseManualClock(uint32_t start = 1000);
  void Advance(uint32_t ms) { clock_ms_.fetch_add(ms); }
  uint32_t Clock() const;

  TVEKManager& Create(uint32_t options = mopt_NoSoundCard,
                      const std::function<void(TVEKManager&)>& customize = {});
  TVEKManager& engine() { return *engine_; }
  bool HasEngine() const { return engine_ != nullptr; }
  void Destroy();

  bool Pump(const std::function<bool()>& done, uint32_t timeout_ms = kPeerWaitMs);
  void PumpFor(uint32_t ms);
  bool PumpUntil(const std::string& prefix, uint32_t timeout_ms = kPeerWaitMs);
  // Events so far that start with prefix.
  int CountOf(const std::string& prefix) const;

  int OffThreadCalls() const { return off_thread_.load(); }
  int PoolBlocks() const;

  std::string Path(const std::string& name) const { return dir / name; }

 private:
  void Record(std::string e);
  void InstallOwnerCallbacks(TVEKManager& e);

  std::unique_ptr<TVEKManager> engine_;
  std::thread::id owner_ = std::this_thread::get_id();
  std::atomic<int> off_thread_{0};
  std::atomic<bool> manual_clock_{false};
  std::atomic<uint32_t> clock_ms_{0};
};

// The front end's part of a connection: login data, server entry, network
// "Test"; Connect then points the entry at 127.0.0.1:port and goes online.
// Outlives the engine it serves.
struct ServerLink {
  ServerLink(TVEKManager& e, const TVEKAccount& account) : info(account) {
    e.SetLoginInfo(&info);
    e.SetServerEntry(&server);
    e.SetNetwork(u"Test");
  }
  void Connect(TVEKManager& e, int port) {
    server.SetMainServer(u"127.0.0.1", port);
    e.SetOnline(true);
  }
  TVEKLoginInfo info;
  TVEKServer server;
};

// UTF-16 to 8-bit, byte per character (test texts are ASCII).
std::string Narrow(const std::u16string& s);

}  // namespace vektest
