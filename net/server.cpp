#include "net/server.h"

void TVEKServer::SetMainServer(const std::u16string& host, int32_t port) {
  std::lock_guard<std::mutex> g(lock_);
  servers_.MainHost = host;
  servers_.MainPort = port;
}

void TVEKServer::SetBackup(const std::u16string& host, int32_t port) {
  std::lock_guard<std::mutex> g(lock_);
  servers_.BackupHost = host;
  servers_.BackupPort = port;
}

void TVEKServer::SetServers(const TVEKServerPair& servers) {
  std::lock_guard<std::mutex> g(lock_);
  servers_ = servers;
}

TVEKServerPair TVEKServer::GetServers() const {
  std::lock_guard<std::mutex> g(lock_);
  return servers_;
}

std::u16string TVEKServer::MainHost() const {
  std::lock_guard<std::mutex> g(lock_);
  return servers_.MainHost;
}

int32_t TVEKServer::MainPort() const {
  std::lock_guard<std::mutex> g(lock_);
  return servers_.MainPort;
}

std::u16string TVEKServer::BackupHost() const {
  std::lock_guard<std::mutex> g(lock_);
  return servers_.BackupHost;
}

int32_t TVEKServer::BackupPort() const {
  std::lock_guard<std::mutex> g(lock_);
  return servers_.BackupPort;
}

void TVEKServer::SetBackupServer(const std::u16string& host, int32_t port) {
  TVEKServerPair changed;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (on_backup_) return;
    // An empty host or port 0 means "no backup"; compare what would be
    // stored, so that clearing a clear entry reports no change.
    const bool clear = host.empty() || port == 0;
    const std::u16string newHost = clear ? std::u16string() : host;
    const int32_t newPort = clear ? 0 : port;
    if (newHost == servers_.BackupHost && newPort == servers_.BackupPort) return;
    servers_.BackupHost = newHost;
    servers_.BackupPort = newPort;
    changed = servers_;
  }
  // Outside the lock: the runner's handler writes a file and may read the entry.
  if (OnNewBackupServer)
    OnNewBackupServer(changed.MainHost, changed.BackupHost, changed.MainPort, changed.BackupPort);
}

void TVEKServer::Confirm(const std::u16string& network) {
  const TDaxDateTime now = DaxNowLocal();
  std::lock_guard<std::mutex> g(lock_);
  network_ = network;
  confirmation_.Network = network;
  confirmation_.Servers = servers_;
  confirmation_.CharsetName = charset_name_;
  confirmation_.ServerText = server_text_;
  confirmation_.Time = now;
  confirmation_.Valid = true;
}

TVEKServerConfirmation TVEKServer::GetConfirmation() const {
  std::lock_guard<std::mutex> g(lock_);
  return confirmation_;
}

std::u16string TVEKServer::Network() const {
  std::lock_guard<std::mutex> g(lock_);
  return network_;
}

void TVEKServer::SetCharsetName(const std::u16string& name) {
  std::lock_guard<std::mutex> g(lock_);
  charset_name_ = name;
}

std::u16string TVEKServer::CharsetName() const {
  std::lock_guard<std::mutex> g(lock_);
  return charset_name_;
}

void TVEKServer::SetServerText(const std::u16string& text) {
  std::lock_guard<std::mutex> g(lock_);
  server_text_ = text;
}

std::u16string TVEKServer::ServerText() const {
  std::lock_guard<std::mutex> g(lock_);
  return server_text_;
}

void TVEKServer::SetMainUseProxy(uint8_t choice) {
  std::lock_guard<std::mutex> g(lock_);
  main_use_proxy_ = choice;
}

uint8_t TVEKServer::MainUseProxy() const {
  std::lock_guard<std::mutex> g(lock_);
  return main_use_proxy_;
}

TVEKServerCheckTarget TVEKServer::GetCheckTarget() const {
  std::lock_guard<std::mutex> g(lock_);
  return TVEKServerCheckTarget{servers_.MainHost, servers_.MainPort, main_use_proxy_};
}

void TVEKServer::SetOnBackup(bool on) {
  std::lock_guard<std::mutex> g(lock_);
  on_backup_ = on;
}

bool TVEKServer::OnBackup() const {
  std::lock_guard<std::mutex> g(lock_);
  return on_backup_;
}
