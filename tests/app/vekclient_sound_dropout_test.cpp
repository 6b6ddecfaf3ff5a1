// The program with a sound card that drops out and comes back (a USB card
// unplugged): PortAudio's calls fail on demand through a preloaded shim
// (tests/support/pa_fault_shim.c) while the program runs against the fake
// VEK server on the paced test card.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "support/child_process.h"
#include "support/engine_voice_rig.h"
#include "support/fake_vek_server.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"
#include "support/wait.h"

namespace vektest {
namespace {

using namespace std::chrono_literals;

// How long the card stays gone, and the bounds of that time.
constexpr auto kGone = 10s;
constexpr size_t kMaxErrorLines = 30;
constexpr double kMaxCpuSeconds = 1.0;

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// User and system CPU seconds the process has used, all its threads.
double CpuSeconds(pid_t pid) {
  // Not a stream iterator: it raises when the process ends before the read.
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // Fields after the command's closing parenthesis; utime and stime are the
  // 14th and 15th of the whole line.
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i >= 14) ticks += std::stol(field);
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A sanitizer build of the program wants its runtime first among the
// libraries; the shim comes before it.
std::string AsanOptions() {
  const char* inherited = getenv("ASAN_OPTIONS");
  return std::string("ASAN_OPTIONS=") + (inherited ? std::string(inherited) + ":" : "") +
         "verify_asan_link_order=0";
}

std::string LoginThen(const std::string& steps) {
  return "login SV=2014000 AL=OK MT=Welcome NT=Test ID=1\n"
         "skip-acks on\n"
         "clients tlv 1:TEST1:Here 2:TEST2:There\n" +
         steps + "loop\nsleep 5000\n";
}

class VekClientSoundDropout : public ::testing::Test {
 protected:
  void Start(const std::string& script, const std::string& faults = "") {
    SetFaults(faults);
    server_ = std::make_unique<FakeVekServer>(Script::Parse(script));
    IniTable t = BaseConfig(dir_.path(), server_->Port());
    t["Audio"] = PacedSoundCard::AudioSection();
    t["System"]["LogAudioErrors"] = "yes";
    t["System"]["LogCarrier"] = "yes";
    t["System"]["LogRx"] = "yes";
    t["Radio"] = {{"PTT", "FILE:" + ptt_ + ":FILE"}, {"COS", "FILE:" + cos_ + ":FILE"}};
    // The closing sound keys PTT for its own time: none here.
    t["Sounds"]["EnableRoger"] = "no";
    WriteIni(dir_ / "vek.cfg", t);
    client_ = std::make_unique<ChildProcess>(
        VekClientPath(), std::vector<std::string>{"debug", dir_ / "vek.cfg"},
        std::vector<std::string>{"LD_PRELOAD=" + BuiltPath("tests/support/libvek_pa_fault_shim.so"),
                                 "VEK_PA_FAULT_FILE=" + faults_, AsanOptions()});
    ASSERT_TRUE(client_->WaitForOutput("Clients: 2")) << client_->Out();
  }
  void SetFaults(const std::string& words) { WriteFile(faults_, words); }

  // The card fails as `words` say for kGone; the error lines and the CPU
  // time that cost stay bounded.
  void GoneForAWhile(const std::string& words, const std::string& first_error) {
    const size_t before = Lines(client_->Out()).size();
    const double cpu_before = CpuSeconds(client_->pid());
    SetFaults(words);
    std::this_thread::sleep_for(kGone);
    const double cpu = CpuSeconds(client_->pid()) - cpu_before;
    SetFaults("");
    std::vector<std::string> lines = UnstampedLines(client_->Out());
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(before, lines.size())));
    EXPECT_LT(cpu, kMaxCpuSeconds);
    EXPECT_GE(CountPrefix(lines, "ERROR: AUDIO: " + first_error), 1u) << client_->Out();
    EXPECT_LE(CountPrefix(lines, "ERROR: AUDIO: "), kMaxErrorLines) << client_->Out();
  }

  std::vector<std::string> Stop() {
    client_->Signal(SIGINT);
    const ProcessResult r = client_->Wait();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return UnstampedLines(r.out);
  }

  PacedSoundCard sound_;
  TempDir dir_;
  const std::string faults_ = dir_ / "faults";
  const std::string ptt_ = dir_ / "ptt";
  const std::string cos_ = dir_ / "cos";
  std::unique_ptr<FakeVekServer> server_;
  std::unique_ptr<ChildProcess> client_;
};

TEST_F(VekClientSoundDropout, IdleCaptureComesBackByItselfAndTheCarrierRequestsTheChannel) {
  Start(LoginThen("keepalives 1000\n"));
  GoneForAWhile("read open-input", "Pa_ReadStream: ");
  std::this_thread::sleep_for(5s);
  WriteFile(cos_, "");
  EXPECT_TRUE(client_->WaitForOutput("Carrier ON")) << client_->Out();
  EXPECT_TRUE(server_->WaitForLine("TX0"));
  unlink(cos_.c_str());
  const std::vector<std::string> lines = Stop();
  EXPECT_EQ(CountPrefix(lines, "AUDIO: CAPT: audio device works again"), 1u) << client_->Out();
  EXPECT_EQ(CountPrefix(lines, "RX is "), 0u) << "no reception restarted the card";
}

TEST_F(VekClientSoundDropout, WriteErrorsInAReceptionAreBounded) {
  Start(LoginThen("keepalives 1000\nsleep 300\ntalk 2 440 30000\n"));
  ASSERT_TRUE(client_->WaitForOutput("RX is started")) << client_->Out();
  GoneForAWhile("write", "Pa_WriteStream: ");
  EXPECT_TRUE(client_->WaitForOutput("AUDIO: PLAY: audio device works again")) << client_->Out();
  // PTT was let go while the card could not play, and is keyed again now.
  EXPECT_TRUE(WaitUntil([&] { return Exists(ptt_); }));
  const std::vector<std::string> lines = Stop();
  EXPECT_EQ(CountPrefix(lines, "WARNING: RX: the playback device cannot be opened"), 1u) << client_->Out();
}

TEST_F(VekClientSoundDropout, WithoutAPlaybackDeviceReceivedVoiceDoesNotKeyPtt) {
  Start(LoginThen("keepalives 1000\nsleep 300\ntalk 2 440 1000\nsleep 4000\ntalk 2 440 1000\n"),
        "open-output");
  SignalFileWatch ptt(ptt_);
  ASSERT_TRUE(WaitUntil([&] {
    return CountPrefix(UnstampedLines(client_->Out()), "RX is stopped") >= 2;
  })) << client_->Out();
  const std::vector<std::string> lines = Stop();
  EXPECT_EQ(ptt.Ons(), 0);
  EXPECT_EQ(CountPrefix(lines, "WARNING: RX: the playback device cannot be opened"), 2u) << client_->Out();
}

}  // namespace
}  // namespace vektest
