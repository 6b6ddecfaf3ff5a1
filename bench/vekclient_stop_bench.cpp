// How fast vekclient ends: SIGTERM to exit of a logged-in run, and the
// "stop" command against a logged-in daemon (which gives up waiting after
// 1000 ms). Its CPU while idle: vekclient_idle_bench.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "support/child_process.h"
#include "support/fake_vek_server.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"

namespace {

using namespace vektest;

using ScratchDir = TempDir;

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
  FakeVekServer server(Script::Parse(kIdleLoginScript));
  WriteIni(dir / "vek.cfg", BaseConfig(dir.path(), server.Port()));
  std::vector<double> ms;
  for (auto _ : state) {
    ChildProcess client(VekClientPath(), {"debug", dir / "vek.cfg"});
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
  FakeVekServer server(Script::Parse(kIdleLoginScript));
  WriteIni(dir / "vek.cfg", BaseConfig(dir.path(), server.Port()));
  const std::string program = VekClientPath();
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

}  // namespace

BENCHMARK_MAIN();
