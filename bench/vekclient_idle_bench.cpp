// What an idle vekclient costs: a logged-in "debug" run against the fake VEK
// server, its CPU time and its wake-ups over a window of idling, in all and
// per thread: without a sound card (its devices do not exist), and on the
// paced pipe sound card that scripts/run uses on a machine without one.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "support/child_process.h"
#include "support/fake_vek_server.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"

namespace {

using namespace vektest;

FILE* gSummary = stdout;
std::string gTables;

// The program's threads in the order it starts them: the engine makes its
// workers in this order and starts its own thread last. Another count of
// threads (a sound library's own) leaves them numbered only.
const char* const kStartOrder[] = {"main",     "signals",  "reader",   "sound card", "protocol",
                                   "dyn pass", "checker",  "executor", "recorder",   "engine"};

// One thread's counters: CPU time on the processor (ns, schedstat), the
// times it went to sleep (voluntary context switches, each one wake-up
// later) and the system call it sleeps in now.
struct TTaskCounters {
  uint64_t cpu_ns = 0;
  uint64_t sleeps = 0;
  long syscall = -1;
};

std::map<pid_t, TTaskCounters> SampleTasks(pid_t pid) {
  std::map<pid_t, TTaskCounters> tasks;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return tasks;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string task = dir + "/" + e->d_name;
    TTaskCounters c;
    std::istringstream(ReadFile(task + "/schedstat")) >> c.cpu_ns;
    const std::string status = ReadFile(task + "/status");
    const size_t at = status.find("\nvoluntary_ctxt_switches:");
    if (at != std::string::npos) std::istringstream(status.substr(at + 25)) >> c.sleeps;
    std::istringstream(ReadFile(task + "/syscall")) >> c.syscall;
    tasks[static_cast<pid_t>(std::atol(e->d_name))] = c;
  }
  closedir(d);
  return tasks;
}

std::string SyscallName(long number) {
#if defined(__x86_64__)
  switch (number) {
    case 7: return "poll";
    case 202: return "futex";
    case 128: return "rt_sigtimedwait";
    case 230: return "clock_nanosleep";
    case 0: return "read";
    case 1: return "write";
  }
#endif
  return number < 0 ? "running" : std::to_string(number);
}

void Idle(benchmark::State& state, const std::string& title, const IniTable& audio_keys) {
  const char* env = std::getenv("VEK_BENCH_SECONDS");
  const int seconds = env ? std::max(1, std::atoi(env)) : 20;
  TempDir dir;
  FakeVekServer server(Script::Parse(kIdleLoginScript));
  IniTable table = BaseConfig(dir.path(), server.Port());
  table.insert(audio_keys.begin(), audio_keys.end());
  WriteIni(dir / "vek.cfg", table);
  for (auto _ : state) {
    ChildProcess client(VekClientPath(), {"debug", dir / "vek.cfg"});
    if (!client.WaitForOutput("Clients: 2", 10000)) {
      state.SkipWithError("no login");
      break;
    }
    sleep(1);  // the login's last answers
    const uint64_t start_ms = MonotonicMs();
    const std::map<pid_t, TTaskCounters> before = SampleTasks(client.pid());
    sleep(static_cast<unsigned>(seconds));
    const std::map<pid_t, TTaskCounters> after = SampleTasks(client.pid());
    const double window_s = static_cast<double>(MonotonicMs() - start_ms) / 1000.0;
    state.SetIterationTime(window_s);

    const bool named = after.size() == std::size(kStartOrder);
    double cpu_ms = 0, wakeups = 0, main_wakeups = 0;
    char line[160];
    std::snprintf(line, sizeof line, "\n%s, %.1f s:\n%-12s %12s %12s  %s\n", title.c_str(), window_s,
                  "thread", "wakeups/s", "CPU ms/s", "sleeps in");
    std::string rows = line;
    size_t k = 0;
    for (const auto& [tid, now] : after) {
      const auto was = before.find(tid);
      const TTaskCounters from = was == before.end() ? TTaskCounters{} : was->second;
      const double t_cpu = static_cast<double>(now.cpu_ns - from.cpu_ns) / 1e6;
      const double t_wake = static_cast<double>(now.sleeps - from.sleeps);
      cpu_ms += t_cpu;
      wakeups += t_wake;
      if (tid == client.pid()) main_wakeups = t_wake;
      const std::string name = named ? kStartOrder[k] : "#" + std::to_string(k);
      std::snprintf(line, sizeof line, "%-12s %12.1f %12.3f  %s\n", name.c_str(), t_wake / window_s,
                    t_cpu / window_s, SyscallName(now.syscall).c_str());
      rows += line;
      ++k;
    }
    std::snprintf(line, sizeof line, "%-12s %12.1f %12.3f\n", "all", wakeups / window_s,
                  cpu_ms / window_s);
    gTables += rows + line;
    state.counters["cpu_ms_per_s"] = cpu_ms / window_s;
    state.counters["wakeups_per_s"] = wakeups / window_s;
    state.counters["main_wakeups_per_s"] = main_wakeups / window_s;
    client.Signal(SIGTERM);
    client.Wait(10000);
  }
}

// The devices are named but do not exist: the sound card never opens.
void BM_IdleNoSoundCard(benchmark::State& state) {
  Idle(state, "no sound card",
       {{"Audio", {{"InDevice", "ALSA:nosuchdevice"}, {"OutDevice", "ALSA:nosuchdevice"}}}});
}
BENCHMARK(BM_IdleNoSoundCard)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// ALSA file PCMs on pipes fed and drained in real time, as vek_pipe_pacer
// does for scripts/run: the capture runs in the background all the time.
void BM_IdlePacedSoundCard(benchmark::State& state) {
  PacedSoundCard card;
  Idle(state, "paced pipe sound card", {{"Audio", PacedSoundCard::AudioSection()}});
}
BENCHMARK(BM_IdlePacedSoundCard)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  gSummary = BenchSummaryStream(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  std::fputs(gTables.c_str(), gSummary);
  benchmark::Shutdown();
  return 0;
}
