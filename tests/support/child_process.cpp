#include "support/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/test_files.h"

extern char** environ;

namespace vektest {

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

std::vector<pid_t> ProcessesWithArgument(const std::string& arg) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    // ReadFile, not a stream iterator: a process that ends between the open
    // and the read makes the read fail, which an iterator raises (and this
    // runs in fixtures' destructors).
    const std::string cmdline = ReadFile("/proc/" + name + "/cmdline");
    size_t start = 0;
    while (start < cmdline.size()) {
      size_t end = cmdline.find('\0', start);
      if (end == std::string::npos) end = cmdline.size();
      if (cmdline.compare(start, end - start, arg) == 0) {
        found.push_back(static_cast<pid_t>(std::stol(name)));
        break;
      }
      start = end + 1;
    }
  }
  closedir(proc);
  return found;
}

std::vector<std::string> ChildStates() {
  std::vector<std::string> out;
  DIR* d = opendir("/proc");
  if (!d) return out;
  const std::string me = std::to_string(getpid());
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
    std::string stat;
    std::getline(f, stat);
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) continue;
    std::istringstream rest(stat.substr(close + 2));
    std::string state, ppid;
    rest >> state >> ppid;
    if (ppid == me) out.push_back(std::string(e->d_name) + ":" + state);
  }
  closedir(d);
  return out;
}

bool ProcessRunning(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return false;
  // The state follows the name, which may hold blanks and parentheses.
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
         stat[close + 2] != 'X';
}

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& x : extra)
      if (x.substr(0, x.find('=')) == name) replaced = true;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> CPointers(std::vector<std::string>& texts) {
  std::vector<char*> p;
  for (std::string& t : texts) p.push_back(t.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& cwd) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv_texts{program};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts = MergedEnvironment(env);
  std::vector<char*> argv = CPointers(argv_texts);
  std::vector<char*> envp = CPointers(env_texts);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (rc != 0) {
    close(out_fd_);
    close(err_fd_);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  }
  reader_ = std::thread([this] { Read(); });
}

ChildProcess::~ChildProcess() {
  if (!Reap(false)) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_reading_ = true;
  }
  if (reader_.joinable()) reader_.join();
  close(out_fd_);
  close(err_fd_);
}

void ChildProcess::Read() {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  int open_count = 2;
  char buffer[4096];
  while (open_count > 0) {
    uint64_t asked;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stop_reading_) return;
      asked = drain_asked_;
    }
    const int ready = poll(fds, 2, 50);
    if (ready == 0) {
      // Both pipes stayed empty: everything written before `asked` is in.
      {
        std::lock_guard<std::mutex> guard(lock_);
        drained_ = asked;
      }
      read_changed_.notify_all();
    }
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        std::lock_guard<std::mutex> guard(lock_);
        (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;  // poll skips negative descriptors
        --open_count;
      }
    }
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    done_reading_ = true;
  }
  read_changed_.notify_all();
}

void ChildProcess::CatchUp() {
  std::unique_lock<std::mutex> guard(lock_);
  const uint64_t asked = ++drain_asked_;
  read_changed_.wait_for(guard, std::chrono::milliseconds(kPeerWaitMs),
                         [&] { return done_reading_ || stop_reading_ || drained_ >= asked; });
}

bool ChildProcess::Reap(bool block) {
  if (reaped_) return true;
  int status = 0;
  pid_t r;
  do r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == pid_) {
    reaped_ = true;
    status_ = status;
  }
  return reaped_;
}

void ChildProcess::Signal(int sig) {
  if (!reaped_) kill(pid_, sig);
}

ProcessResult ChildProcess::Wait(uint32_t timeout_ms) {
  ProcessResult result;
  const uint64_t deadline = MonotonicMs() + timeout_ms;
  while (!Reap(false) && MonotonicMs() < deadline) usleep(2000);
  if (!reaped_) {
    result.timed_out = true;
    kill(pid_, SIGKILL);
    Reap(true);
  }
  // Output still in the pipes is read; a daemon child may keep them open,
  // so not until they close.
  CatchUp();
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_reading_ = true;
  }
  if (reader_.joinable()) reader_.join();
  if (WIFEXITED(status_)) result.exit_code = WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) result.signal = WTERMSIG(status_);
  result.out = Out();
  result.err = Err();
  return result;
}

bool ChildProcess::WaitForOutput(const std::string& needle, uint32_t timeout_ms, bool in_stderr) {
  const uint64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    if ((in_stderr ? Err() : Out()).find(needle) != std::string::npos) return true;
    if (Reap(false) || MonotonicMs() >= deadline) {
      CatchUp();
      return (in_stderr ? Err() : Out()).find(needle) != std::string::npos;
    }
    usleep(5000);
  }
}

std::string ChildProcess::Out() const {
  std::lock_guard<std::mutex> guard(lock_);
  return out_;
}

std::string ChildProcess::Err() const {
  std::lock_guard<std::mutex> guard(lock_);
  return err_;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, uint32_t timeout_ms,
                         const std::string& cwd) {
  ChildProcess child(program, args, env, cwd);
  return child.Wait(timeout_ms);
}

ProcessResult RunShell(const std::string& command, uint32_t timeout_ms) {
  return RunProcess("/bin/sh", {"-c", command}, {}, timeout_ms);
}

}  // namespace vektest
