#include "support/fake_manager.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace vektest {

namespace {

constexpr size_t kMaxRequest = 1 << 16;
// The client sends its request line as soon as it is connected.
constexpr uint32_t kRequestTimeoutMs = kPeerWaitMs;

}  // namespace

FakeManager::FakeManager(std::vector<ManagerReply> replies) : replies_(std::move(replies)) {
  listener_.Start([this](int fd) { Serve(fd); }, SOCK_NONBLOCK);
}

FakeManager::~FakeManager() { Stop(); }

void FakeManager::Stop() { listener_.Stop(); }

void FakeManager::SetReplies(std::vector<ManagerReply> replies) {
  std::lock_guard<std::mutex> lock(mu_);
  replies_ = std::move(replies);
}

std::vector<std::string> FakeManager::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

int FakeManager::Connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

int FakeManager::Closed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

bool FakeManager::WaitForConnections(int n, uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return connections_ >= n; });
}

bool FakeManager::WaitForClosed(int n, uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return closed_ >= n; });
}

void FakeManager::Serve(int fd) {
  ManagerReply reply;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const size_t i = static_cast<size_t>(connections_);
    if (!replies_.empty()) reply = replies_[std::min(i, replies_.size() - 1)];
    else reply = Answer("-");
    ++connections_;
  }
  cv_.notify_all();
  Handle(fd, reply);
  ::close(fd);
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++closed_;
  }
  cv_.notify_all();
}

bool FakeManager::ReadRequest(int fd, std::string& line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  std::string data;
  for (;;) {
    const size_t lf = data.find('\n');
    if (lf != std::string::npos) {
      line = data.substr(0, lf);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    if (data.size() > kMaxRequest) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p[2] = {{fd, POLLIN, 0}, {listener_.WakeFd(), POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    if (listener_.StopFlag()) return false;
    if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    data.append(buf, static_cast<size_t>(n));
  }
}

bool FakeManager::SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p[2] = {{fd, POLLOUT, 0}, {listener_.WakeFd(), POLLIN, 0}};
    ::poll(p, 2, 1000);
    if (listener_.StopFlag()) return false;
  }
  return true;
}

void FakeManager::Drain(int fd, bool silent) {
  while (!listener_.StopFlag() && !(silent && end_silence_)) {
    pollfd p[2] = {{fd, POLLIN, 0}, {listener_.WakeFd(), POLLIN, 0}};
    // A silence is asked every few ms whether it may end.
    if (::poll(p, 2, silent ? 5 : -1) < 0 && errno != EINTR) return;
    if (listener_.StopFlag()) return;
    if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

void FakeManager::Handle(int fd, const ManagerReply& reply) {
  if (reply.act == ManagerAct::CloseAtOnce) return;
  std::string line;
  if (!ReadRequest(fd, line)) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(line);
  }
  cv_.notify_all();
  switch (reply.act) {
    case ManagerAct::Reply:
      SendAll(fd, reply.text + "\r\n");
      Drain(fd);
      break;
    case ManagerAct::CloseAfterRequest:
      break;
    case ManagerAct::Silent:
      Drain(fd, true);
      break;
    case ManagerAct::Fragments: {
      const std::string bytes = reply.text + "\r\n";
      const size_t piece = std::max<size_t>(reply.piece, 1);
      for (size_t at = 0; at < bytes.size(); at += piece) {
        if (at > 0 && !listener_.Pause(reply.delay_ms)) return;
        if (!SendAll(fd, bytes.substr(at, piece))) return;
      }
      Drain(fd);
      break;
    }
    case ManagerAct::Flood:
      SendAll(fd, std::string(reply.flood, 'x'));
      Drain(fd);
      break;
    case ManagerAct::CloseAtOnce:
      break;
  }
}

}  // namespace vektest
