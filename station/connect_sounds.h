// The connect-sound table: which WAV file to play after a login to a given
// host, port and network. Reloaded whenever the table file's modification
// time changes; used from the engine's thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/fileutils.h"

struct TVEKConnectSoundRec {
  std::u16string Host;  // ASCII upper case; empty matches any host
  int32_t Port = 0;     // 0 matches any port
  std::u16string Network;  // as written; empty matches any network
  std::u16string NetworkUpper;
  std::u16string FileName;  // as written, resolved later by the sound reader
};

using TVEKConnectSoundArray = std::vector<TVEKConnectSoundRec>;

class TVEKConnectSounds {
 public:
  static constexpr size_t kReadBufferSize = 8192;

  // The table file's full path; the table is loaded at the first lookup.
  explicit TVEKConnectSounds(const std::u16string& path);

  // The file of the first entry, in file order, that matches all three.
  bool FindSound(const std::u16string& host, int32_t port, const std::u16string& network,
                 std::u16string& file_name);
  // Reloads the table when the file's modification time changed; errors go
  // to OnConnectSoundError and leave the table as it stands.
  void Refresh();

  const std::u16string& Path() const noexcept { return path_; }
  const TVEKConnectSoundArray& Sounds() const noexcept { return sounds_; }

  std::function<void(const std::u16string&)> OnConnectSoundError;

 private:
  void Load();

  std::u16string path_;
  std::string path_sys_;
  bool loaded_ = false;
  TDaxSearchRec search_;
  TVEKConnectSoundArray sounds_;
};

// [Sounds] ConnectSoundCfgFileName ("connsounds.cfg" when empty) without
// trailing slashes, resolved against the program's directory.
std::u16string VekConnectSoundsPath(const std::u16string& setting,
                                    const std::u16string& program_dir);
