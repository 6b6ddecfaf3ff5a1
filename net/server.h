// The entry of the VEK server the client works with: the main server from
// the configuration and the backup server a server announces at login. The
// protocol, the engine and the server checker use it from their own threads,
// so every field sits behind the entry's lock and readers get copies.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "foundation/clock.h"

// Main and backup server as one consistent copy.
struct TVEKServerPair {
  std::u16string MainHost;
  int32_t MainPort = 0;
  std::u16string BackupHost;
  int32_t BackupPort = 0;
};

// What the server checker needs for one check.
struct TVEKServerCheckTarget {
  std::u16string MainHost;
  int32_t MainPort = 0;
  uint8_t MainUseProxy = 0;  // 0 not set, 1 no, 2 yes
};

// Written by Confirm when the protocol has entered a network.
struct TVEKServerConfirmation {
  std::u16string Network;
  TVEKServerPair Servers;
  std::u16string CharsetName;
  std::u16string ServerText;
  TDaxDateTime Time;
  bool Valid = false;
};

class TVEKServer {
 public:
  // (main host, backup host, main port, backup port) after the backup changed.
  using TNewBackupServerEvent =
      std::function<void(const std::u16string& mainHost, const std::u16string& backupHost,
                         int32_t mainPort, int32_t backupPort)>;

  TVEKServer() = default;
  TVEKServer(const TVEKServer&) = delete;
  TVEKServer& operator=(const TVEKServer&) = delete;

  // Set by the owner before any other thread uses the entry. Called on the
  // thread of SetBackupServer, outside the entry's lock, so the handler may
  // read the entry.
  TNewBackupServerEvent OnNewBackupServer;

  void SetMainServer(const std::u16string& host, int32_t port);
  // Stores the backup pair as given, without calling the change handler
  // (the runner's start-up value from the backup-server file).
  void SetBackup(const std::u16string& host, int32_t port);
  // Replaces both pairs at once (a server switch).
  void SetServers(const TVEKServerPair& servers);
  TVEKServerPair GetServers() const;
  std::u16string MainHost() const;
  int32_t MainPort() const;
  std::u16string BackupHost() const;
  int32_t BackupPort() const;

  // A backup announced by the server: nothing while on the backup server or
  // when the pair is already stored; an empty host or port 0 clears it.
  // Calls OnNewBackupServer after a change.
  void SetBackupServer(const std::u16string& host, int32_t port);

  // Stores the network, copies the current values into the confirmation
  // record and stamps it with the local time.
  void Confirm(const std::u16string& network);
  TVEKServerConfirmation GetConfirmation() const;
  std::u16string Network() const;

  void SetCharsetName(const std::u16string& name);
  std::u16string CharsetName() const;
  // The text the protocol empties when it enters a network.
  void SetServerText(const std::u16string& text);
  std::u16string ServerText() const;

  void SetMainUseProxy(uint8_t choice);
  uint8_t MainUseProxy() const;
  TVEKServerCheckTarget GetCheckTarget() const;

  void SetOnBackup(bool on);
  bool OnBackup() const;

 private:
  mutable std::mutex lock_;
  TVEKServerPair servers_;
  std::u16string network_;
  TVEKServerConfirmation confirmation_;
  std::u16string charset_name_;
  std::u16string server_text_;
  uint8_t main_use_proxy_ = 0;
  bool on_backup_ = false;
};
