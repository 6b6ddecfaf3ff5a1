#include "engine/program_starter.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "engine/executor.h"
#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "foundation/types.h"

namespace {

int OpenEndDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  // Opened close-on-exec by the kernel.
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// True once the child has ended and is collected.
bool Collected(pid_t pid) {
  int status;
  pid_t r;
  while ((r = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  return r != 0;
}

std::u16string Number(size_t n) { return DaxAnsiToUnicodeRaw(std::to_string(n)); }

}  // namespace

TVEKProgramStarter::TVEKProgramStarter(size_t maxRunning, size_t maxWaiting)
    : max_running_(maxRunning > 0 ? maxRunning : 1),
      max_waiting_(maxWaiting),
      waiter_(static_cast<int>(max_running_)) {
  Start();
}

TVEKProgramStarter::~TVEKProgramStarter() {
  if (!Finished()) Stop();
  WaitFor();
}

void TVEKProgramStarter::Stop() {
  Terminate();
  waiter_.Signal();
}

size_t TVEKProgramStarter::Running() const {
  std::lock_guard<std::mutex> g(lock_);
  return running_.size();
}

size_t TVEKProgramStarter::Waiting() const {
  std::lock_guard<std::mutex> g(lock_);
  return waiting_.size();
}

void TVEKProgramStarter::Emit(const TText& to, const std::u16string& text) const {
  if (to) to(text);
}

int TVEKProgramStarter::SpawnLocked(const TJob& job) {
  pid_t pid;
  if (const int code = VekSpawnProgram(job.Program, job.Args, pid); code != 0) return code;
  running_.push_back({pid, OpenEndDescriptor(pid)});
  return 0;
}

int TVEKProgramStarter::StartProgram(const std::u16string& program, const std::vector<std::u16string>& args) {
  std::u16string warning;
  int code = 0;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (running_.size() < max_running_ && waiting_.empty()) {
      code = SpawnLocked({program, args});
    } else if (waiting_.size() < max_waiting_) {
      waiting_.push_back({program, args});
      if (!queue_reported_) {
        queue_reported_ = true;
        warning = Number(running_.size()) + u" scripts are running, further ones wait for their turn";
      }
    } else {
      warning = u"script \"" + program + u"\" not started for \"" + (args.empty() ? u"" : args[0]) + u"\": " +
                Number(running_.size()) + u" are running and " + Number(waiting_.size()) + u" waiting";
    }
  }
  // The thread watches the new child.
  waiter_.Signal();
  if (!warning.empty()) Emit(OnWarning, warning);
  return code;
}

void TVEKProgramStarter::CollectAndRefill(std::vector<std::u16string>& errors) {
  std::lock_guard<std::mutex> g(lock_);
  std::erase_if(running_, [](const TChild& c) {
    if (!Collected(c.Pid)) return false;
    if (c.EndFd >= 0) close(c.EndFd);
    return true;
  });
  while (running_.size() < max_running_ && !waiting_.empty()) {
    const TJob job = std::move(waiting_.front());
    waiting_.pop_front();
    if (const int code = SpawnLocked(job); code != 0)
      errors.push_back(DaxHookSysToUnicode(DaxFormatExecuteError(code, DaxHookUnicodeToSys(job.Program))));
  }
  if (waiting_.empty()) queue_reported_ = false;
}

bool TVEKProgramStarter::WatchRunning() {
  std::lock_guard<std::mutex> g(lock_);
  bool all = true;
  for (const TChild& c : running_) {
    if (c.EndFd < 0) {
      all = false;
      continue;
    }
    TWaiter2Resource* r = waiter_.AddResource(this, c.EndFd);
    watched_.push_back(r);
    waiter_.SetEvents(r, kWaiterRead);
  }
  return all;
}

// Before a descriptor is closed: a registration must not outlive it.
void TVEKProgramStarter::Unwatch() {
  for (TWaiter2Resource* r : watched_) waiter_.RemoveResource(r);
  watched_.clear();
}

void TVEKProgramStarter::Execute() {
  started_.store(true);
  while (!Terminated()) {
    std::vector<std::u16string> errors;
    bool poll = true;
    try {
      Unwatch();
      CollectAndRefill(errors);
      poll = !WatchRunning();
    } catch (const std::exception& e) {
      errors.push_back(DaxHookSysToUnicode(DaxHookAnsiToSys(e.what())));
    }
    for (const std::u16string& text : errors) Emit(OnError, text);
    if (Terminated()) break;
    try {
      if (waiter_.Wait(poll ? kPollMs : kWaiterInfinite) == wr_Error) WaitTerminated(kPollMs);
    } catch (const std::exception&) {
      WaitTerminated(kPollMs);
    }
  }
  Unwatch();
  size_t dropped = 0;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (const TChild& c : running_) {
      if (c.EndFd >= 0) close(c.EndFd);
      VekReapWhenEnded(c.Pid);
    }
    running_.clear();
    dropped = waiting_.size();
    waiting_.clear();
  }
  if (dropped > 0) Emit(OnWarning, Number(dropped) + u" waiting scripts not started at the stop");
}
