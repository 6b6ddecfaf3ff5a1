#include "support/fake_vek_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "support/fake_vek_internal.h"

namespace vektest {

// ---------------------------------------------------------------------------
// The server

FakeVekServer::FakeVekServer(Script script) : FakeVekServer(std::vector<Script>{std::move(script)}) {}

FakeVekServer::FakeVekServer(std::vector<Script> scripts, uint16_t port)
    : scripts_(std::move(scripts)), listener_(port, 8) {
  if (scripts_.empty()) scripts_.emplace_back();
  listener_.Start([this](int fd) { Serve(fd); }, SOCK_NONBLOCK);
}

FakeVekServer::~FakeVekServer() { Stop(); }

void FakeVekServer::Stop() { listener_.Stop(); }

void FakeVekServer::Serve(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  int conn;
  {
    std::lock_guard lock(mu_);
    conn = ++connections_;
    cv_.notify_all();
  }
  const Script& script = scripts_[std::min<size_t>(static_cast<size_t>(conn - 1), scripts_.size() - 1)];
  try {
    fakevek::RunSession(*this, fd, conn, script, listener_.StopFlag());
  } catch (const std::exception& e) {
    Fail("connection " + std::to_string(conn) + ": " + e.what());
  }
  close(fd);
  std::lock_guard lock(mu_);
  ++disconnects_;
  cv_.notify_all();
}

void FakeVekServer::Record(ClientItem item) {
  std::function<void(const ClientItem&)> fn;
  {
    std::lock_guard lock(mu_);
    if (items_.size() >= limit_) items_.pop_front();
    items_.push_back(item);
    fn = on_item_;
    cv_.notify_all();
  }
  if (fn) fn(item);
}

void FakeVekServer::RecordSent(int connection, const std::string& bytes) {
  std::lock_guard lock(mu_);
  if (sent_.size() >= limit_) sent_.pop_front();
  sent_.push_back({FakeTickMs(), connection, bytes});
}

void FakeVekServer::Fail(std::string text) {
  std::lock_guard lock(mu_);
  failures_.push_back(std::move(text));
  cv_.notify_all();
}

void FakeVekServer::SetRecordLimit(size_t n) {
  std::lock_guard lock(mu_);
  limit_ = std::max<size_t>(n, 1);
}

void FakeVekServer::SetOnItem(std::function<void(const ClientItem&)> fn) {
  std::lock_guard lock(mu_);
  on_item_ = std::move(fn);
}

std::vector<ClientItem> FakeVekServer::Items() const {
  std::lock_guard lock(mu_);
  return {items_.begin(), items_.end()};
}

std::vector<std::string> FakeVekServer::Lines() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  for (const auto& i : items_)
    if (i.kind == ItemKind::Line) out.push_back(i.text);
  return out;
}

std::vector<SentChunk> FakeVekServer::Sent() const {
  std::lock_guard lock(mu_);
  return {sent_.begin(), sent_.end()};
}

std::vector<std::string> FakeVekServer::Failures() const {
  std::lock_guard lock(mu_);
  return failures_;
}

int FakeVekServer::Connections() const {
  std::lock_guard lock(mu_);
  return connections_;
}

int FakeVekServer::FinishedScripts() const {
  std::lock_guard lock(mu_);
  return finished_;
}

bool FakeVekServer::WaitFor(const std::function<bool(const std::vector<ClientItem>&)>& pred,
                            uint32_t timeout_ms) const {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock lock(mu_);
  for (;;) {
    std::vector<ClientItem> snapshot(items_.begin(), items_.end());
    if (pred(snapshot)) return true;
    if (cv_.wait_until(lock, until) == std::cv_status::timeout) {
      snapshot.assign(items_.begin(), items_.end());
      return pred(snapshot);
    }
  }
}

bool FakeVekServer::WaitForLine(const std::string& exact, uint32_t timeout_ms) const {
  return WaitFor(
      [&](const std::vector<ClientItem>& items) {
        return std::any_of(items.begin(), items.end(),
                           [&](const ClientItem& i) { return i.kind == ItemKind::Line && i.text == exact; });
      },
      timeout_ms);
}

bool FakeVekServer::WaitForScripts(int n, uint32_t timeout_ms) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return finished_ >= n; });
}

bool FakeVekServer::WaitForDisconnects(int n, uint32_t timeout_ms) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return disconnects_ >= n; });
}

}  // namespace vektest
