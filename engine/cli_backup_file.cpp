#include "engine/cli_backup_file.h"

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/line_file.h"
#include "foundation/paths.h"
#include "foundation/setup_data.h"
#include "foundation/types.h"
#include "net/idn.h"

namespace {

std::string FileName(const TVEKSystemParameters& system) {
  return VekFileInWriteDir(DaxUnicodeToSys(system.BackupServersFileName), system);
}

bool UsablePort(int32_t port) { return port >= 1 && port <= 65535; }

}  // namespace

void VekBackupFileRead(const std::string& file_name, TBackupServerArray& records) {
  records.clear();
  std::vector<std::string> lines;
  if (!VekReadFileLines(file_name, lines)) return;
  for (const std::string& raw : lines) {
    const std::string line = DaxTrim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    std::string f[4];
    bool ok = true;
    for (int i = 0; i < 4 && ok; ++i) {
      ok = DaxGetField(line, '|', i + 1, f[i]);
      f[i] = DaxTrim(f[i]);
      ok = ok && !f[i].empty();
    }
    if (!ok) continue;
    TBackupServerArrayRecord rec;
    if (!DaxTryStrToInt(f[1], rec.MainPort) || !DaxTryStrToInt(f[3], rec.BackupPort)) continue;
    rec.MainAddress = DaxUtf8ToUnicode(f[0]);
    rec.BackupAddress = DaxUtf8ToUnicode(f[2]);
    std::string stamp;
    if (DaxGetField(line, '|', 5, stamp) && stamp.size() == 14)
      rec.Timestamp = stamp;
    else
      rec.Timestamp = DaxDateTimeToStamp(DaxNowLocal());
    records.push_back(std::move(rec));
  }
}

void VekBackupFileWrite(const std::string& file_name, const TBackupServerArray& records) {
  std::string data;
  for (const auto& r : records) {
    VekCheckStorableValue(r.MainAddress, file_name);
    VekCheckStorableValue(r.BackupAddress, file_name);
    VekCheckStorableValue(DaxAnsiToUnicodeRaw(r.Timestamp), file_name);
    data += DaxUnicodeToUtf8(r.MainAddress) + "|" + std::to_string(r.MainPort) + "|" +
            DaxUnicodeToUtf8(r.BackupAddress) + "|" + std::to_string(r.BackupPort) + "|" +
            r.Timestamp + "\r\n";
  }
  VekWritePrivateFile(file_name, data);
}

void VekBackupFileStore(const TVEKSystemParameters& system, const std::u16string& main_address,
                        const std::u16string& backup_address, int32_t main_port,
                        int32_t backup_port) {
  const std::string file_name = FileName(system);
  // The backup host comes from a server: it must not inject lines.
  VekCheckStorableValue(main_address, file_name);
  VekCheckStorableValue(backup_address, file_name);
  TBackupServerArray records;
  VekBackupFileRead(file_name, records);
  TBackupServerArrayRecord* found = nullptr;
  for (auto& r : records) {
    if (r.MainAddress == main_address && r.MainPort == main_port) {
      found = &r;
      break;
    }
  }
  if (!found) {
    records.push_back({main_address, main_port, {}, 0, {}});
    found = &records.back();
  }
  found->BackupAddress = backup_address;
  found->BackupPort = backup_port;
  found->Timestamp = DaxDateTimeToStamp(DaxNowLocal());
  VekReplaceFileWith(
      file_name, [&](const std::string& path) { VekBackupFileWrite(path, records); },
      VekConfiguredTempDir(system));
}

bool VekBackupFileLookup(const TVEKSystemParameters& system, const std::u16string& main_address,
                         int32_t main_port, std::u16string& backup_address,
                         int32_t& backup_port) {
  if (system.BackupServersFileName.empty()) return false;
  TBackupServerArray records;
  VekBackupFileRead(FileName(system), records);
  const std::u16string wanted = DaxUpperCaseAsciiW(main_address);
  const TBackupServerArrayRecord* exact = nullptr;
  const TBackupServerArrayRecord* newest = nullptr;
  for (const auto& r : records) {
    if (!UsablePort(r.MainPort) || !UsablePort(r.BackupPort)) continue;
    // A host with control bytes, as a former version stored it, is no host.
    if (!VekIsCleanHostName(r.BackupAddress)) continue;
    if (DaxUpperCaseAsciiW(r.MainAddress) != wanted) continue;
    if (!exact && r.MainPort == main_port) exact = &r;
    if (!newest || r.Timestamp > newest->Timestamp) newest = &r;
  }
  const TBackupServerArrayRecord* won = exact ? exact : newest;
  if (!won) return false;
  backup_address = won->BackupAddress;
  backup_port = won->BackupPort;
  return true;
}
