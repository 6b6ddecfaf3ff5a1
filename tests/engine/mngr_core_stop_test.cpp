// Ending the engine: while workers wait on silent peers, while voice is
// being recorded, and over and over.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/executor.h"
#include "engine/mngr.h"
#include "foundation/types.h"
#include "net/checkmain.h"
#include "net/dyn_pass.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/server.h"
#include "station/sound_reader.h"
#include "station/sound_writer.h"
#include "support/engine_rig.h"
#include "support/fake_manager.h"
#include "support/fake_vek_server.h"
#include "support/wait.h"

namespace {

using vektest::EngineRig;
using vektest::FakeVekServer;
using vektest::Script;

bool AllWorkersFinished(TVEKManager& e) {
  return e.Protocol()->Finished() && e.DynPass()->Finished() && e.Checker()->Finished() &&
         e.SoundReader()->Finished() && e.Recorder()->Finished() && e.Executor()->Finished();
}

// Ends the engine's thread; true once every worker has finished.
bool StopAndWaitForWorkers(EngineRig& rig) {
  TVEKManager& e = rig.engine();
  e.TerminateAndWake();
  return rig.Pump([&] { return e.Finished() && AllWorkersFinished(e); });
}

// Whether the recorder has a file open below dir.
bool Recording(const std::string& dir) {
  std::error_code ec;
  for (const auto& f : std::filesystem::recursive_directory_iterator(dir, ec))
    if (f.is_regular_file()) return true;
  return false;
}

TEST(EngineStop, CutsShortALoginTheServerStallsAndARegistrationTheManagerIgnores) {
  Script s;
  s.ExpectLogin().Stall(20000);
  FakeVekServer fake(s);
  vektest::FakeManager manager({vektest::Misbehave(vektest::ManagerAct::Silent)});
  EngineRig rig;
  rig.setup.Manager.DynamicPasswordMode = dpm_NO;
  rig.setup.Manager.ManagerAddress = u"127.0.0.1";
  rig.setup.Manager.ManagerPort = manager.Port();
  TVEKManager& e = rig.Create();
  // Reads that outlast the stop's bound: a stop that waits one out fails.
  e.Protocol()->ReceiveTimeoutMs = 2 * vektest::kPeerWaitMs;
  e.DynPass()->AnswerTimeoutMs = 2 * vektest::kPeerWaitMs;
  e.WaitThreadsStarted();
  vektest::ServerLink link(e, rig.setup.Account);
  link.Connect(e, fake.Port());
  e.RegisterAccount(rig.setup.Account);
  ASSERT_TRUE(rig.PumpUntil("ServerConnected"));
  ASSERT_TRUE(rig.PumpUntil("DynPassConnected"));
  ASSERT_TRUE(manager.WaitForConnections(1));
  // Both peers now hold their client in a read. The stop must cut them
  // short, not hang: it gets the generous bound kPeerWaitMs, which tells
  // that from a wait for the reads' time-out without timing the stop.
  EXPECT_TRUE(StopAndWaitForWorkers(rig));
  EXPECT_EQ(rig.CountOf("InfoText:Aborting ..."), 1);
  rig.Destroy();
  EXPECT_EQ(rig.CountOf("InfoText:Aborting ..."), 1);
  EXPECT_EQ(rig.OffThreadCalls(), 0);
}

// The protocol feeds the recorder until its thread ends: nothing may be
// freed before every worker is joined.
TEST(EngineStop, DestroyWhileReceivedVoiceIsRecorded) {
  Script s;
  s.Login().Talk(1, vektest::Tone(440, 8000, 8000 * 4)).Sleep(500);
  FakeVekServer fake(s);
  EngineRig rig;
  rig.setup.Manager.DynamicPasswordMode = dpm_NO;
  rig.setup.Recorder.Enabled = true;
  rig.setup.Recorder.Dir = DaxAnsiToUnicodeRaw(rig.Path("rec"));
  TVEKManager& e = rig.Create();
  e.WaitThreadsStarted();
  vektest::ServerLink link(e, rig.setup.Account);
  link.Connect(e, fake.Port());
  ASSERT_TRUE(rig.PumpUntil("Networks"));
  e.Protocol()->EnableReceive();
  ASSERT_TRUE(rig.Pump([&] { return e.Protocol()->State() == PROTO_STATE_RX; }));
  ASSERT_TRUE(rig.Pump([&] { return Recording(rig.Path("rec")); }));
  rig.Destroy();
  EXPECT_EQ(rig.CountOf("InfoText:Aborting ..."), 1);
}

TEST(EngineStop, TwentyRoundsOfCreateAndDestroy) {
  EngineRig rig;
  for (int i = 0; i < 20; ++i) {
    TVEKManager& e = rig.Create(i % 2 ? mopt_NoSoundCard : mopt_NoSoundCard | mopt_NoTimers);
    if (i % 3 == 0) e.WaitThreadsStarted();
    EXPECT_EQ(rig.PoolBlocks(), 1050);
    rig.Destroy();
  }
  EXPECT_EQ(rig.CountOf("InfoText:Aborting ..."), 20);
}

}  // namespace
