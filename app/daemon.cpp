#include "app/daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/program.h"
#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/fileutils.h"
#include "foundation/paths.h"
#include "foundation/pid_file.h"
#include "foundation/types.h"

namespace {

Exception ForkError(int err) {
  return Exception("Fork error [" + std::to_string(err) + "]: " + DaxErrorText(err));
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Standard input, output and error on /dev/null, in a session of its own.
void DetachFromTerminal() {
  setsid();
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (in >= 0) dup2(in, STDIN_FILENO);
  if (out >= 0) {
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
  }
  if (in > STDERR_FILENO) close(in);
  if (out > STDERR_FILENO) close(out);
}

// What the starter left open (a shell's or a service manager's pipes) would
// stay held for the daemon's life; only standard input, output and error
// and `keep` stay.
void CloseInheritedDescriptors(int keep) {
  auto close_all = [](unsigned first, unsigned last) {
    if (first > last || close_range(first, last, 0) == 0) return;
    // A kernel without close_range: every number up to the limit.
    const long limit = sysconf(_SC_OPEN_MAX);
    const unsigned end = limit > 0 ? static_cast<unsigned>(limit) : 1024u;
    for (unsigned fd = first; fd <= last && fd < end; ++fd) close(static_cast<int>(fd));
  };
  const unsigned first = STDERR_FILENO + 1;
  if (keep < static_cast<int>(first)) {
    close_all(first, ~0u);
    return;
  }
  close_all(first, static_cast<unsigned>(keep) - 1);
  close_all(static_cast<unsigned>(keep) + 1, ~0u);
}

std::u16string AlreadyRunningText(const TVEKProgram& program) {
  return u"VEK client daemon already running? (check " + program.PidFileName + u")";
}

// The parent's quick look before the fork; the child's take decides.
void CheckPidFileBeforeFork(TVEKProgram& program, const std::string& pid_name) {
  const TVEKPidFileState found = VekPidFileState(pid_name, getpid());
  if (found.Holder == pfh_None) return;
  if (found.Holder == pfh_Gone) {
    const std::u16string why = found.Pid > 0
                                   ? u"process " + DaxIntToStrW(found.Pid) + u" is not running"
                                   : std::u16string(u"it holds no PID");
    program.PrintOut(u"Stale PID-file [" + program.PidFileName + u"]: " + why + u"; replacing it");
    return;
  }
  program.PrintErr(AlreadyRunningText(program));
  program.EndProcess(4);
}

// The child, before it starts anything: a start that finds the file taken
// ends here, and its parent writes why. `starter` is the parent: a file
// naming it is as old as one naming this process.
void TakeOwnPidFile(TVEKProgram& program, const std::string& pid_name, pid_t starter) {
  if (!VekTakePidFile(pid_name, getpid(), starter).Taken) program.EndProcess(4);
  program.PidWritten = getpid();
}

}  // namespace

// ---------------------------------------------------------------------------
// The child's report

TVEKDaemonReport::~TVEKDaemonReport() { CloseIfOpen(fd_); }

void TVEKDaemonReport::Send(int code) {
  if (fd_ < 0) return;
  const unsigned char byte = static_cast<unsigned char>(code);
  ssize_t n;
  do n = write(fd_, &byte, 1);
  while (n < 0 && errno == EINTR);
  CloseIfOpen(fd_);
}

// ---------------------------------------------------------------------------
// The start

TVEKDaemonStart::TVEKDaemonStart() {
  int report[2] = {-1, -1};
  if (pipe2(report, O_CLOEXEC) != 0) throw ForkError(errno);
  report_read_ = report[0];
  report_write_ = report[1];
  sigset_t awaited = VekStopSignals();
  sigaddset(&awaited, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &awaited, nullptr);
  signal_fd_ = signalfd(-1, &awaited, SFD_CLOEXEC);
  if (signal_fd_ < 0) throw ForkError(errno);
}

TVEKDaemonStart::~TVEKDaemonStart() {
  CloseIfOpen(report_read_);
  CloseIfOpen(report_write_);
  CloseIfOpen(signal_fd_);
}

int TVEKDaemonStart::TakeChildEnd() {
  CloseIfOpen(signal_fd_);
  sigset_t child_signal;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  pthread_sigmask(SIG_UNBLOCK, &child_signal, nullptr);
  CloseIfOpen(report_read_);
  const int fd = report_write_;
  report_write_ = -1;
  return fd;
}

TVEKDaemonEnd TVEKDaemonStart::AwaitChild(pid_t child, const TVEKDaemonBounds& bounds) {
  using TClock = std::chrono::steady_clock;
  CloseIfOpen(report_write_);
  TClock::time_point deadline = TClock::now() + bounds.Start;
  std::u16string stopped;  // why the child was told to stop
  auto stop_child = [&](int sig, const std::u16string& why) {
    kill(child, sig);
    if (!stopped.empty()) return;
    stopped = why;
    deadline = TClock::now() + bounds.End;
  };
  pollfd fds[2] = {{report_read_, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    if (left <= 0) {
      if (!stopped.empty())
        return {3, stopped + u": process " + DaxIntToStrW(child) + u" has not ended"};
      stop_child(SIGTERM, u"Daemon start not confirmed within " +
                              DaxIntToStrW(bounds.Start.count()) + u" s");
      continue;
    }
    if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
    if (fds[0].revents != 0) {
      unsigned char byte = 0;
      const ssize_t n = read(report_read_, &byte, 1);
      if (n == 1 && stopped.empty()) return {byte, {}};
      if (n != 1) fds[0].fd = -1;  // the child reported, or it ends
    }
    if (fds[1].revents != 0) {
      signalfd_siginfo info{};
      if (read(signal_fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
      const int sig = static_cast<int>(info.ssi_signo);
      if (sig != SIGCHLD) {
        stop_child(sig, u"Daemon start interrupted [" + DaxSignalName(sig) + u"]");
        continue;
      }
      int status = 0;
      if (waitpid(child, &status, WNOHANG) != child) continue;
      if (!stopped.empty()) return {3, stopped};
      // The child ended without a word: its own status tells.
      return {WIFEXITED(status) ? WEXITSTATUS(status) : 3, {}};
    }
  }
}

// ---------------------------------------------------------------------------
// The program

void VekBecomeDaemon(TVEKProgram& program, const TVEKDaemonBounds& bounds) {
  try {
    const std::string pid_name = DaxUnicodeToSys(program.PidFileName);
    CheckPidFileBeforeFork(program, pid_name);
    DaxCheckWritable(pid_name);
    TVEKDaemonStart start;
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) throw ForkError(errno);
    if (child > 0) {
      const TVEKDaemonEnd end = start.AwaitChild(child, bounds);
      if (!end.Error.empty()) program.PrintErr(u"ERROR: " + end.Error);
      // The child found the PID file taken.
      if (end.ExitCode == 4 && end.Error.empty()) program.PrintErr(AlreadyRunningText(program));
      std::_Exit(end.ExitCode);
    }
    const int report = start.TakeChildEnd();
    program.DaemonReport.Attach(report);
    CloseInheritedDescriptors(report);
    // Still on the caller's output: an error here is seen there.
    TakeOwnPidFile(program, pid_name, parent);
    DetachFromTerminal();
  } catch (const std::exception& e) {
    program.PrintOut(u"ERROR: " + DaxSysToUnicodeProc(e.what()));
    program.EndProcess(3);
  }
}

void VekDeleteOwnPidFile(TVEKProgram& program) {
  const pid_t written = program.PidWritten.exchange(0);
  if (written == 0) return;
  const std::string name = DaxUnicodeToSys(program.PidFileName);
  pid_t pid = 0;
  try {
    VekReadPidFile(name, pid);
  } catch (...) {
    return;
  }
  if (pid == written) DaxDeleteFileNoRaise(name);
}
