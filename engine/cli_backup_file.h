// The backup-server file: for every main server the client has used, the
// backup server it announced, so that after a restart the client can fall
// back to it while the main server is down. One record per line:
// main host | main port | backup host | backup port | stamp, UTF-8, CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TVEKSystemParameters;

struct TBackupServerArrayRecord {
  std::u16string MainAddress;
  int32_t MainPort = 0;
  std::u16string BackupAddress;
  int32_t BackupPort = 0;
  std::string Timestamp;  // YYYYMMDDhhmmss, local time of the last store
};

using TBackupServerArray = std::vector<TBackupServerArrayRecord>;

// A missing file gives an empty array; open and read errors raise
// EFileException. Malformed lines are skipped; a stamp that is not 14
// characters long becomes the current time.
void VekBackupFileRead(const std::string& file_name, TBackupServerArray& records);
// Creates or truncates the file (mode 0600) and writes every record; on a
// failure deletes the file and raises again. A host holding "|", CR or LF
// raises EFileException before anything is written.
void VekBackupFileWrite(const std::string& file_name, const TBackupServerArray& records);

// Sets the backup of the record with this main host (compared exactly) and
// port, or appends one, stamps it now and rewrites the file transactionally.
void VekBackupFileStore(const TVEKSystemParameters& system, const std::u16string& main_address,
                        const std::u16string& backup_address, int32_t main_port,
                        int32_t backup_port);
// The backup of the first record with the main host (ASCII letters without
// case) and port; else that of the newest record of the host. Records whose
// ports lie outside 1..65535, or whose backup host holds control bytes
// (VekIsCleanHostName), are passed over. False, outputs untouched, when
// nothing fits or the settings name no file.
bool VekBackupFileLookup(const TVEKSystemParameters& system, const std::u16string& main_address,
                         int32_t main_port, std::u16string& backup_address,
                         int32_t& backup_port);
