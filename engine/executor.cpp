#include "engine/executor.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/exception.h"
#include "foundation/fileutils.h"
#include "foundation/types.h"

extern char** environ;

namespace {

// Starts program with argv[1..] = args; the child gets default signal
// dispositions, an empty signal mask and no descriptor above 2. A script
// leads a process group of its own, and its standard input is /dev/null: a
// group that does not own the terminal would be stopped by reading it.
int Spawn(const std::string& program, const std::vector<std::string>& args, pid_t& pid,
          bool script = false) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  if (int rc = posix_spawnattr_init(&attr); rc != 0) return rc;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) {
    posix_spawnattr_destroy(&attr);
    return rc;
  }
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (script) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawnattr_setflags(&attr, flags);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Every descriptor of ours is close-on-exec; this also covers one that a
  // library opened without it.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc;
}

void WaitChild(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// True once the child has ended and is collected (or is not ours any more).
bool Collected(pid_t pid) {
  int status;
  pid_t r;
  while ((r = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  return r != 0;
}

void* ReapChild(void* arg) {
  WaitChild(static_cast<pid_t>(reinterpret_cast<intptr_t>(arg)));
  return nullptr;
}

// Children whose reaper thread could not be created; collected without
// blocking at the next start.
std::mutex g_pendingLock;
std::vector<pid_t> g_pending;

void ReapPending() {
  std::lock_guard<std::mutex> g(g_pendingLock);
  std::erase_if(g_pending, Collected);
}

// A small detached thread per child started without waiting, so its exit
// status is collected as soon as it ends; a SIGCHLD disposition would be
// process-wide and break the waits of others.
void ReapLater(pid_t pid) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  const int rc = pthread_create(&t, &attr, &ReapChild, reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::lock_guard<std::mutex> g(g_pendingLock);
    g_pending.push_back(pid);
  }
}

std::string Sys(const std::u16string& s) { return DaxHookUnicodeToSys(s); }

}  // namespace

int VekSpawnProgram(const std::u16string& program, const std::vector<std::u16string>& args, pid_t& pid) {
  std::vector<std::string> sys;
  sys.reserve(args.size());
  for (const std::u16string& a : args) sys.push_back(Sys(a));
  return Spawn(Sys(program), sys, pid);
}

void VekReapWhenEnded(pid_t pid) {
  ReapPending();
  ReapLater(pid);
}

int VekRunProcess(const std::u16string& program, int count, const std::u16string& arg1,
                  const std::u16string& arg2, const std::u16string& arg3, const std::u16string& arg4,
                  const std::u16string& arg5, const std::u16string& arg6, const std::u16string& arg7) {
  const std::u16string* all[7] = {&arg1, &arg2, &arg3, &arg4, &arg5, &arg6, &arg7};
  if (count < 0) count = 0;
  if (count > 7) count = 7;
  std::vector<std::u16string> args;
  for (int i = 0; i < count; ++i) args.push_back(*all[i]);
  pid_t pid;
  if (int rc = VekSpawnProgram(program, args, pid); rc != 0) {
    errno = rc;
    return -1;
  }
  VekReapWhenEnded(pid);
  return 0;
}

namespace {

// The largest output file read: a list of sound file names, not a store.
constexpr size_t kMaxOutputBytes = 1u << 20;

// Reads the output file the script left in the run's folder: false when it
// made none. Only a regular file is read, and a link is never followed.
bool ReadOutputFile(int folderFd, const std::string& name, const std::string& path, std::string& text) {
  int fd;
  do {
    fd = ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    DaxCheckFileOpenError(errno != 0 ? errno : -1, path);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) DaxCheckFileOpenError(errno != 0 ? errno : -1, path);
  if (!S_ISREG(st.st_mode)) DaxCheckFileOpenError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path);
  char buffer[8192];
  while (text.size() < kMaxOutputBytes) {
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, kMaxOutputBytes - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) DaxRaiseFileReadError(errno != 0 ? errno : -1, path);
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

int StartScript(const std::string& program, const std::string& input_file, const std::string& output_file,
                const std::string& argument, pid_t& pid) {
  if (int rc = Spawn(program, {input_file, output_file, argument}, pid, true); rc != 0) {
    errno = rc;
    return -1;
  }
  return 0;
}

// Polling step where the kernel gives no descriptor for a child's end.
constexpr uint32_t kChildPollMs = 20;

// A child's end as a readiness event of the executor's waiter; without a
// process descriptor the wait polls. A wait returns early at a wake-up.
class TChildEndWatch {
 public:
  TChildEndWatch(TWaiter2Socket& waiter, TEventAuto& event, pid_t pid) : waiter_(waiter), event_(event) {
#ifdef SYS_pidfd_open
    // Opened close-on-exec by the kernel.
    fd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
#endif
    if (fd_ < 0) return;
    try {
      resource_ = waiter_.AddResource(this, fd_);
      waiter_.SetEvents(resource_, kWaiterRead);
    } catch (...) {
      Drop();
    }
  }
  ~TChildEndWatch() { Drop(); }
  TChildEndWatch(const TChildEndWatch&) = delete;
  TChildEndWatch& operator=(const TChildEndWatch&) = delete;

  // Up to ms for the end or a wake-up; once the child is collected, its
  // descriptor stays ready, so only the wake-up or the time ends the wait.
  void Wait(uint32_t ms, bool collected) {
    if (collected) Drop();
    if (resource_) {
      try {
        if (waiter_.Wait(ms) != wr_Error) return;
      } catch (...) {
      }
      Drop();
    }
    event_.WaitFor(std::min(ms, kChildPollMs));
  }

 private:
  void Drop() {
    if (resource_) waiter_.RemoveResource(resource_);
    resource_ = nullptr;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  TWaiter2Socket& waiter_;
  TEventAuto& event_;
  int fd_ = -1;
  TWaiter2Resource* resource_ = nullptr;
};

// A script may have started children of its own (a shell's commands): the
// whole group gets SIGTERM, SIGCONT for a member that is stopped, and SIGKILL
// when some of it is still there after the bound. The script itself is
// collected in any case.
void EndScriptGroup(pid_t pid, TChildEndWatch& watch, uint32_t bound_ms) {
  kill(-pid, SIGTERM);
  kill(-pid, SIGCONT);
  const uint32_t start = DaxTickMs();
  bool collected = false;
  for (uint32_t spent = 0; spent < bound_ms; spent = DaxTickMs() - start) {
    if (!collected) collected = Collected(pid);
    // The group is gone with its last member.
    if (collected && kill(-pid, 0) != 0) return;
    watch.Wait(bound_ms - spent, collected);
  }
  kill(-pid, SIGKILL);
  if (!collected) WaitChild(pid);
}

}  // namespace

int VekRunScriptWait(const std::u16string& program, const std::u16string& input_file,
                     const std::u16string& output_file, const std::u16string& argument) {
  pid_t pid;
  if (StartScript(Sys(program), Sys(input_file), Sys(output_file), Sys(argument), pid) != 0) return -1;
  WaitChild(pid);
  return 0;
}

// ---------------------------------------------------------------------------

TVEKExecutorProcess::TVEKExecutorProcess() { Start(); }

TVEKExecutorProcess::~TVEKExecutorProcess() {
  if (!Finished()) {
    try {
      Stop();
    } catch (...) {
      // The wake-up pipe failed: the event still ends an idle wait.
    }
  }
  WaitFor();
  output_.Clear();
}

uint32_t TVEKExecutorProcess::Run(const std::u16string& script, const std::u16string& argument) {
  std::lock_guard<std::mutex> g(lock_);
  // A request not yet taken up counts as running: a second one would
  // silently replace it.
  if (Busy()) throw Exception("Busy");
  script_ = script;
  argument_ = argument;
  if (++last_run_ == 0) ++last_run_;
  requested_run_ = last_run_;
  request_.store(true);
  event_.SetEvent();
  return requested_run_;
}

bool TVEKExecutorProcess::PopOutput(std::u16string& line) { return output_.Pop(line); }

void TVEKExecutorProcess::Abort() {
  std::lock_guard<std::mutex> g(lock_);
  // A request still waiting would otherwise start a script nobody wants
  // and clear the abort when taken.
  if (request_.load()) {
    request_.store(false);
    return;
  }
  if (running_.load()) abort_.store(true);
}

void TVEKExecutorProcess::Stop() {
  Terminate();
  event_.SetEvent();
  waiter_.Signal();
}

void TVEKExecutorProcess::SetTempDir(const std::u16string& dir) {
  std::lock_guard<std::mutex> g(lock_);
  tempDir_ = dir;
}

void TVEKExecutorProcess::TakeRequest() {
  output_.Clear();
  // Under the lock so that Run and Abort see the request either waiting or
  // running, never neither.
  std::lock_guard<std::mutex> g(lock_);
  if (!request_.load()) return;  // withdrawn by Abort
  abort_.store(false);
  current_run_.store(requested_run_);
  running_.store(true);
  request_.store(false);
}

void TVEKExecutorProcess::Error(const std::u16string& text) {
  if (OnError) OnError(text);
}

void TVEKExecutorProcess::Execute() {
  started_.store(true);
  while (!Terminated()) {
    try {
      if (request_.load()) TakeRequest();
      if (running_.load()) {
        if (RunScript()) {
          if (OnDone)
            OnDone();
          else
            output_.Clear();
        }
        running_.store(false);
      } else {
        event_.WaitFor(kIdleWaitMs);
      }
    } catch (const std::exception& e) {
      Error(u"Main loop: " + DaxHookSysToUnicode(DaxHookAnsiToSys(e.what())));
      output_.Clear();
      running_.store(false);
    }
  }
}

bool TVEKExecutorProcess::RunScript() {
  output_.Clear();
  std::u16string script, argument, tempDir;
  {
    std::lock_guard<std::mutex> g(lock_);
    script = script_;
    argument = argument_;
    tempDir = tempDir_;
  }
  // The file names stand on the script's command line, which every local
  // user can read: they lie in a folder of this run that nobody else can
  // enter, so nobody can put a file or a link there before the script.
  std::string folderName;
  int folderFd = -1;
  int code = DaxCreatePrivateTempDir(Sys(tempDir), "fx", folderName, folderFd);
  if (code != 0) DaxCheckFileCreateError(code, "tmpin");
  const std::string folder = DaxIncludeTrailingSlash(Sys(tempDir)) + folderName;

  // Whatever happens below, the folder goes with all the script left in it,
  // and an aborted run leaves nothing.
  struct Cleanup {
    TVEKExecutorProcess* self;
    int fd;
    const std::string& folder;
    ~Cleanup() {
      DaxClearDirectoryAt(fd);
      ::close(fd);
      ::rmdir(folder.c_str());
      if (self->abort_.load()) {
        self->output_.Clear();
        self->abort_.store(false);
      }
    }
  } cleanup{this, folderFd, folder};

  std::string inName, outName;
  code = DaxMakeUniqueTempFileName(folder, "fi", inName);
  if (code != 0) DaxCheckFileCreateError(code, "tmpin");
  code = DaxMakeUniqueTempFileName(folder, "fo", outName);
  if (code != 0) DaxCheckFileCreateError(code, "tmpout");
  const std::string inFile = folder + "/" + inName;
  const std::string outFile = folder + "/" + outName;

  const std::string scriptSys = Sys(script);
  if (Terminated()) return false;  // nothing new starts at a stop
  pid_t pid;
  if (StartScript(scriptSys, inFile, outFile, Sys(argument), pid) != 0) {
    Error(DaxHookSysToUnicode(DaxFormatExecuteError(errno, scriptSys)));
    return false;
  }
  if (!AwaitScript(pid)) return false;
  if (abort_.load()) return false;
  std::string text;
  if (!ReadOutputFile(folderFd, outName, outFile, text)) return false;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string trimmed = DaxTrim(text.substr(start, end - start));
    if (!trimmed.empty()) output_.Push(DaxUtf8ToUnicode(trimmed));
    start = end + 1;
  }
  return !abort_.load() && output_.Count() > 0;
}

bool TVEKExecutorProcess::AwaitScript(pid_t pid) {
  TChildEndWatch watch(waiter_, event_, pid);
  for (;;) {
    if (Collected(pid)) return true;
    if (Terminated()) break;
    watch.Wait(kWaiterInfinite, false);
  }
  EndScriptGroup(pid, watch, kScriptEndBoundMs);
  return false;
}
