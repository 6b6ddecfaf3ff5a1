#include "app/pid_commands.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "app/program.h"
#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "foundation/pid_file.h"
#include "foundation/types.h"

namespace {

std::u16string Uni(const std::string& text) { return DaxSysToUnicodeProc(text); }

// By the program's file name: an installed copy elsewhere still counts.
bool IsThisProgram(pid_t pid) {
  auto exe_of = [](const std::string& link) {
    char path[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), path, sizeof path - 1);
    if (n <= 0) return std::string();
    std::string text(path, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (text.size() > deleted.size() &&
        text.compare(text.size() - deleted.size(), deleted.size(), deleted) == 0)
      text.resize(text.size() - deleted.size());
    return text;
  };
  auto base_of = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
  const std::string self = base_of(exe_of("/proc/self/exe"));
  const std::string other = base_of(exe_of("/proc/" + std::to_string(pid) + "/exe"));
  return !self.empty() && self == other;
}

// Reads the PID file and signals the process; false (with the error line
// written) when nothing was signalled.
bool SignalDaemon(TVEKProgram& p, int sig) {
  const std::string name = DaxUnicodeToSys(p.PidFileName);
  pid_t pid = 0;
  try {
    VekReadPidFile(name, pid);
  } catch (const std::exception& e) {
    p.PrintErr(u"ERROR: read PID-file [" + p.PidFileName + u"]: " + Uni(e.what()));
    return false;
  }
  if (pid == getpid() || !IsThisProgram(pid)) {
    p.PrintErr(u"ERROR: PID-file [" + p.PidFileName + u"]: process " + Uni(std::to_string(pid)) +
               u" is not a running vekclient");
    return false;
  }
  if (kill(pid, sig) != 0) {
    const int err = errno;
    p.PrintErr(u"ERROR: " + Uni(DaxErrorText(err)));
    return false;
  }
  return true;
}

void WaitForFile(const std::string& name, bool present) {
  for (uint32_t waited = 0; waited < kVekPidWaitMs; waited += kVekPidPollMs) {
    if (VekFileExists(name) == present) return;
    usleep(kVekPidPollMs * 1000);
  }
}

}  // namespace

void VekStopDaemon(TVEKProgram& p) {
  if (SignalDaemon(p, SIGTERM)) WaitForFile(DaxUnicodeToSys(p.PidFileName), false);
}

void VekReopenDaemonLog(TVEKProgram& p) {
  if (SignalDaemon(p, SIGHUP)) WaitForFile(DaxUnicodeToSys(p.LogFileName), true);
}

void VekDeletePidFile(TVEKProgram& p) {
  try {
    DaxDeleteFile(DaxUnicodeToSys(p.PidFileName));
  } catch (const std::exception& e) {
    p.PrintErr(u"ERROR: delete PID-file [" + p.PidFileName + u"]: " + Uni(e.what()));
  }
}
