// How fast vekclient ends: SIGTERM to exit of a logged-in run, and the
// "stop" command against a logged-in daemon (which gives up waiting after
// 1000 ms); and the CPU the program uses while idle on a paced sound card.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "support/alsa_devices.h"
#include "support/child_process.h"
#include "support/fake_vek_server.h"
#include "support/test_files.h"

namespace {

using namespace vektest;

using ScratchDir = TempDir;

const char kLoginScript[] = R"(login SV=2014000 AL=OK MT=Welcome NT=Test ID=1
skip-acks on
clients tlv 1:TEST1:Here 2:TEST2:There
keepalives 2000
loop
sleep 5000
)";

// The program next to this benchmark's folder: <build>/app/vekclient.
std::string BuiltFile(const std::string& relative) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  dir = dir.substr(0, dir.rfind('/'));
  return dir.substr(0, dir.rfind('/')) + "/" + relative;
}

void WriteConfig(const std::string& path, const std::string& dir, int port,
                 const std::string& audio = {}) {
  std::ostringstream ini;
  ini << "[Auth]\nCallsign=BENCH\n[Server]\nServerAddress=127.0.0.1\nServerPort=" << port
      << "\nCheckServerInterval=0\n[Manager]\nDynamicPasswordMode=NO\n[System]\nWriteDir=" << dir
      << "\nLogFile=" << dir << "/vekclient.log\nPidFile=" << dir << "/vekclient.pid\nTempDir="
      << dir << "\n[Hours]\nEnabled=no\n[Informer]\nEnabled=no\n" << audio;
  WriteFile(path, ini.str());
}

void Report(benchmark::State& state, const std::vector<double>& ms) {
  state.counters["median_ms"] = BenchMedian(ms);
  state.counters["max_ms"] = BenchMax(ms);
}

bool WaitForFileText(const std::string& file, const std::string& needle, uint32_t timeout_ms) {
  const uint64_t deadline = MonotonicMs() + timeout_ms;
  while (MonotonicMs() < deadline) {
    if (Exists(file) && ReadFile(file).find(needle) != std::string::npos) return true;
    usleep(5000);
  }
  return false;
}

void BM_SigtermToExit(benchmark::State& state) {
  ScratchDir dir;
  FakeVekServer server(Script::Parse(kLoginScript));
  WriteConfig(dir / "vek.cfg", dir.path(), server.Port());
  std::vector<double> ms;
  for (auto _ : state) {
    ChildProcess client(BuiltFile("app/vekclient"), {"debug", dir / "vek.cfg"});
    if (!client.WaitForOutput("Logged in at phase 3", 10000)) {
      state.SkipWithError("no login");
      break;
    }
    const uint64_t start = MonotonicMs();
    client.Signal(SIGTERM);
    const ProcessResult r = client.Wait(10000);
    const double elapsed = static_cast<double>(MonotonicMs() - start);
    state.SetIterationTime(elapsed / 1000.0);
    ms.push_back(elapsed);
    if (r.exit_code != 0) state.SkipWithError("exit code not 0");
  }
  Report(state, ms);
}
BENCHMARK(BM_SigtermToExit)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_StopCommand(benchmark::State& state) {
  ScratchDir dir;
  FakeVekServer server(Script::Parse(kLoginScript));
  WriteConfig(dir / "vek.cfg", dir.path(), server.Port());
  const std::string program = BuiltFile("app/vekclient");
  std::vector<double> ms;
  for (auto _ : state) {
    unlink((dir / "vekclient.log").c_str());
    if (RunProcess(program, {"daemon", dir / "vek.cfg"}).exit_code != 0 ||
        !WaitForFileText(dir / "vekclient.log", "Logged in at phase 3", 10000)) {
      state.SkipWithError("daemon did not log in");
      break;
    }
    const uint64_t start = MonotonicMs();
    RunProcess(program, {"stop", dir / "vek.cfg"}, {}, 10000);
    const double elapsed = static_cast<double>(MonotonicMs() - start);
    state.SetIterationTime(elapsed / 1000.0);
    ms.push_back(elapsed);
    if (Exists(dir / "vekclient.pid")) {
      // Still going after stop gave up: wait for the end before the next.
      WaitForFileText(dir / "vekclient.log", "Aborted [SIGTERM]", 10000);
      for (int i = 0; i < 500 && Exists(dir / "vekclient.pid"); ++i) usleep(10000);
    }
  }
  Report(state, ms);
  state.counters["wait_limit_ms"] = 1000;
}
BENCHMARK(BM_StopCommand)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// CPU seconds of a process so far (user + system), from /proc.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Logged in and idle on file PCMs paced in real time, as scripts/run runs it.
void BM_IdleCpu(benchmark::State& state) {
  const char* env = std::getenv("VEK_BENCH_SECONDS");
  const int seconds = env ? std::max(1, std::atoi(env)) : 60;
  ScratchDir dir;
  TAlsaTestDevices alsa;
  const std::string capture = alsa.MakeFifo("capture");
  const std::string playback = alsa.MakeFifo("playback");
  alsa.AddCapture("vekcap", capture);
  alsa.AddPlayback("vekplay", playback);
  alsa.Install();
  TFifoFeeder feeder(capture, {}, 8000, 320);
  TFifoDrainer drainer(playback, 8000);
  FakeVekServer server(Script::Parse(kLoginScript));
  WriteConfig(dir / "vek.cfg", dir.path(), server.Port(),
              "[Audio]\nInDevice=ALSA:vekcap\nOutDevice=ALSA:vekplay\nInSampleRate=8000\n"
              "OutSampleRate=8000\nInFactor=1\nOutFactor=1\n");
  for (auto _ : state) {
    ChildProcess client(BuiltFile("app/vekclient"), {"debug", dir / "vek.cfg"});
    if (!client.WaitForOutput("Logged in at phase 3", 10000)) {
      state.SkipWithError("no login");
      break;
    }
    const double before = ProcessCpuSeconds(client.pid());
    sleep(static_cast<unsigned>(seconds));
    const double used = ProcessCpuSeconds(client.pid()) - before;
    state.SetIterationTime(seconds);
    state.counters["cpu_percent"] = 100.0 * used / seconds;
    client.Signal(SIGTERM);
    client.Wait(10000);
  }
}
BENCHMARK(BM_IdleCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
