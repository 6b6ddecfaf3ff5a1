#include "foundation/file_protect_rewrite.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <vector>

#include "foundation/exception.h"
#include "foundation/fileutils.h"

void (*DaxFileMoverStepHook)(const char* step) = nullptr;

namespace {

// The temporary areas hold the password file: owner only.
constexpr unsigned kDirMode = 0700;
constexpr int kMaxTempAttempts = 128;
constexpr const char* kProtectorPrefix = "tmp";

void Step(const char* what) {
  if (DaxFileMoverStepHook != nullptr) DaxFileMoverStepHook(what);
}

std::string Join(const std::string& dir, const std::string& name) {
  return DaxIncludeTrailingSlash(dir) + name;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string DirPart(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string NamePart(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void DeleteTree(const std::string& path) { DaxDeleteDirectory(path); }

// Data first on disk, then the name: a crash after the rename must not leave
// an empty or partial file under the target's name.
void SyncFile(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) DaxCheckFileOpenError(errno != 0 ? errno : -1, path);
  int code = ::fsync(fd) != 0 ? errno : 0;
  ::close(fd);
  DaxCheckFileWriteError(code, path);
  Step("fsync");
}

// The renames last only once the directory is on disk. A file system that
// cannot sync a directory (EINVAL) is taken as it is.
void SyncDir(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  const int code = ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
  ::close(fd);
  DaxCheckFileWriteError(code, dir);
}

void CheckMover(const TFileMoverData* mover) {
  if (mover == nullptr) throw Exception("Mover=NIL");
  if (mover->Mark != TFileMoverData::kMark) throw Exception("Invalid mover context");
}

void CheckSync(const TFileMoverSync* sync) {
  if (sync == nullptr) throw Exception("Syncro=NIL");
  if (sync->Mark != TFileMoverSync::kMark) throw Exception("Invalid syncro context");
  CheckMover(sync->Mover);
}

std::string TempArea(const TFileMoverSync& sync) {
  return Join(sync.Mover->BaseDir, sync.TempName);
}

std::string TargetArea(const TFileMoverSync& sync) { return Join(sync.TargetDir, sync.TempName); }

std::string BackupPath(const TFileMoverSync& sync, const std::string& target) {
  return Join(DirPart(target), sync.TempName + "." + NamePart(target));
}

void MoveFile(TFileMoverSync& sync, const std::string& group, const TFileMoverFileRec& file) {
  const std::string source = Join(TargetArea(sync), group + "/" + file.Name);
  const std::string target = Join(sync.TargetDir, file.Name);
  DaxForceDirectories(DirPart(target), kDirMode);
  TFileMoverObjectRec move;
  move.Target = target;
  move.Sync = &sync;
  if (Exists(target)) {
    move.Backup = BackupPath(sync, target);
    // A second name for the old file keeps it under the target's name until
    // the new one replaces it in one rename. Without hard links, move it
    // aside as the last resort.
    if (::link(target.c_str(), move.Backup.c_str()) == 0) {
      Step("link");
    } else {
      DaxRenameFile(target, move.Backup);
      Step("rename");
    }
  }
  sync.Moves.push_back(move);
  SyncFile(source);
  DaxRenameFile(source, target);
  Step("rename");
}

void RestoreSync(TFileMoverSync& sync) {
  for (auto it = sync.Moves.rbegin(); it != sync.Moves.rend(); ++it) {
    if (it->Backup.empty()) {
      DaxDeleteFileNoRaise(it->Target);
    } else {
      // One rename puts the old file back over whatever is there; when both
      // names are links of the same file it does nothing and the backup
      // name goes below.
      DaxRenameFileNoRaise(it->Backup, it->Target);
      DaxDeleteFileNoRaise(it->Backup);
    }
  }
  sync.Moves.clear();
  if (!sync.TargetDir.empty()) DeleteTree(TargetArea(sync));
  DeleteTree(TempArea(sync));
}

// ---------------------------------------------------------------------------
// Staging names and what killed writers leave behind
//
// A staging name carries its writer's PID: head + 10 characters + "." + PID,
// and a backup is that name + "." + the file's name. A rewrite killed before
// its end leaves such entries; the next rewrite of the file removes those
// whose writer is gone. A PID tells a leftover from a live area without a
// lock file beside every target, and without the window in which a freshly
// made (or freshly copied) area would not be locked yet; a live writer's PID
// always answers kill(pid, 0), so its area is never taken. A name with this
// process's own PID is live only while one of its movers holds it: a
// program restarted in a container often gets the PID of the one killed.
// A PID reused by another process only keeps a leftover longer. The one
// assumption: writers that share a directory share a PID space (one host,
// no separate PID namespaces).

std::mutex g_live_lock;

// The staging names of this process's movers, registered before their area
// is made and dropped when the mover is freed.
std::set<std::string>& LiveNames() {
  static std::set<std::string> names;
  return names;
}

void SetLive(const std::string& name, bool live) {
  std::lock_guard<std::mutex> guard(g_live_lock);
  if (live)
    LiveNames().insert(name);
  else
    LiveNames().erase(name);
}

bool IsLiveHere(const std::string& name) {
  std::lock_guard<std::mutex> guard(g_live_lock);
  return LiveNames().count(name) != 0;
}

std::string TempNameHead(const std::string& prefix) {
  std::string head = "." + (prefix.empty() ? std::string("TMP") : prefix) + "$";
  while (head.compare(0, 2, "..") == 0) head.erase(0, 1);
  return head;
}

bool IsUniqueChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

// The writer's PID of a staging entry, 0 when the name is not one; `rest`
// gets what follows the PID.
pid_t StagingOwner(const std::string& entry, const std::string& head, std::string& rest) {
  constexpr size_t kUniqueLength = 10;
  if (entry.compare(0, head.size(), head) != 0) return 0;
  size_t i = head.size();
  if (entry.size() < i + kUniqueLength + 2) return 0;
  for (size_t k = 0; k < kUniqueLength; ++k)
    if (!IsUniqueChar(entry[i++])) return 0;
  if (entry[i++] != '.') return 0;
  const size_t digits = i;
  pid_t pid = 0;
  for (; i < entry.size() && entry[i] >= '0' && entry[i] <= '9'; ++i) {
    if (pid > 99999999) return 0;
    pid = pid * 10 + (entry[i] - '0');
  }
  if (i == digits || pid <= 0) return 0;
  rest = entry.substr(i);
  return pid;
}

bool WriterGone(pid_t pid, const std::string& staging_name) {
  if (pid == ::getpid()) return !IsLiveHere(staging_name);
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Ours, and of the kind expected: in a shared directory another user may
// have put an entry of that name there, or a link.
bool OwnEntry(const std::string& path, bool directory) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || st.st_uid != ::geteuid()) return false;
  return directory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

// A writer killed between its two renames (where no hard link could be
// made) left the old file under its backup name only: it goes back, unless
// a new file has taken the name since.
void RestoreOrDropBackup(const std::string& backup, const std::string& target) {
  if (!Exists(target) && ::link(backup.c_str(), target.c_str()) != 0 && errno != EEXIST) {
    if (::renameat2(AT_FDCWD, backup.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0 ||
        errno != EEXIST)
      return;
  }
  DaxDeleteFileNoRaise(backup);
}

// The dead writers' areas in `dir`, and their backups of `name` (none when
// empty). Nothing here raises: a leftover that cannot go stays.
void RemoveDeadEntries(const std::string& dir, const std::string& head, const std::string& name) {
  std::vector<TDaxSearchRec> entries;
  if (DaxListDirectory(dir, head + "*", kDaxAttrAnyFile, entries, true) != 0) return;
  for (const TDaxSearchRec& e : entries) {
    std::string rest;
    const pid_t owner = StagingOwner(e.Name, head, rest);
    if (owner == 0 || !WriterGone(owner, e.Name.substr(0, e.Name.size() - rest.size()))) continue;
    const std::string path = Join(dir, e.Name);
    if (rest.empty() && OwnEntry(path, true))
      DeleteTree(path);
    else if (!name.empty() && rest == "." + name && OwnEntry(path, false))
      RestoreOrDropBackup(path, Join(dir, name));
  }
}

void RemoveLeftovers(TFileMoverData& mover) {
  for (auto& sync : mover.Syncs) {
    for (const TFileMoverObjectRec& move : sync->Moves)
      if (!move.Backup.empty()) DaxDeleteFileNoRaise(move.Backup);
    if (!sync->TargetDir.empty()) DeleteTree(TargetArea(*sync));
  }
  for (auto& sync : mover.Syncs) DeleteTree(TempArea(*sync));
}

}  // namespace

void DaxCheckNoDotSegments(const std::string& path) {
  if (!DaxIsPathWithoutDotSegments(path))
    throw Exception("Relative path is not allowed: \"" + path + "\"");
}

TFileMoverData* DaxFileMoverCreate(const std::string& prefix, const std::string& base_dir) {
  auto mover = std::make_unique<TFileMoverData>();
  mover->Prefix = prefix;
  mover->BaseDir = base_dir.empty() ? DaxGetTempDir() : base_dir;
  DaxCheckNoDotSegments(mover->BaseDir);
  return mover.release();
}

TFileMoverSync* DaxFileMoverAddSynchro(TFileMoverData* mover, const std::string& target_dir) {
  CheckMover(mover);
  if (mover->State != 0) throw Exception("Unable add synchro");
  DaxCheckNoDotSegments(target_dir);

  auto sync = std::make_unique<TFileMoverSync>();
  sync->Mover = mover;
  sync->TargetDir = target_dir;
  // Unique names make a collision unlikely; a directory of that name that
  // exists anyway is somebody else's, so try a fresh name.
  for (int attempt = 0;; ++attempt) {
    if (attempt == kMaxTempAttempts)
      throw Exception("unable create temporary subdirectory at directory \"" + mover->BaseDir +
                      "\"");
    ++mover->Attempts;
    std::string unique =
        DaxMakeUniqueName(DaxRandomBelow(0x7FFFFFFF), mover->Attempts, mover->BaseDir,
                          std::to_string(DaxRandomBelow(0x7FFFFFFF)));
    sync->TempName = TempNameHead(mover->Prefix) + unique + "." + std::to_string(::getpid());
    // Live before it exists: another thread's rewrite must not take it.
    SetLive(sync->TempName, true);
    const std::string area = TempArea(*sync);
    int code = DaxCreateDirNoRaise(area, kDirMode);
    if (code != 0) SetLive(sync->TempName, false);
    if (code == EEXIST) continue;
    DaxCheckDirCreateError(code, area);
    break;
  }
  const std::string area = TempArea(*sync);
  try {
    DaxCreateDir(Join(area, "M"), kDirMode);
    DaxCreateDir(Join(area, "S"), kDirMode);
  } catch (...) {
    DeleteTree(area);
    SetLive(sync->TempName, false);
    throw;
  }
  mover->Syncs.push_back(std::move(sync));
  return mover->Syncs.back().get();
}

std::string DaxFileMoverAddFile(TFileMoverSync* sync, const std::string& file_name) {
  CheckSync(sync);
  if (sync->Mover->State != 0) throw Exception("Unable add file");
  if (!sync->GroupM.empty())
    throw Exception("Master file is already set for Syncro=\"" + sync->TargetDir + "\"");
  const std::string write_path = Join(Join(TempArea(*sync), "M"), file_name);
  DaxCheckNoDotSegments(Join(sync->TargetDir, file_name));
  DaxCheckNoDotSegments(write_path);
  DaxForceDirectories(DirPart(write_path), kDirMode);
  sync->GroupM.push_back({file_name});
  return write_path;
}

void DaxFileMoverCopyUp(TFileMoverData* mover) {
  CheckMover(mover);
  if (mover->State != 0) throw Exception("Unable do CopyUp procedure");
  try {
    for (auto& sync : mover->Syncs) {
      if (sync->TargetDir.empty()) continue;
      DaxForceDirectories(sync->TargetDir, kDirMode);
      const std::string from = TempArea(*sync);
      const std::string to = TargetArea(*sync);
      if (!Exists(from)) continue;
      if (DaxRenameFileNoRaise(from, to) == 0) {
        Step("rename");
        continue;
      }
      // Another file system: copy the area, then drop the original.
      int code = DaxCopyDirectory(from, sync->TargetDir);
      Step("copy");
      if (code != 0) {
        DeleteTree(from);
        DeleteTree(to);
        throw Exception("Unable copy directory \"" + from + "\" into \"" + to +
                        "\": " + DaxErrorText(code));
      }
      DeleteTree(from);
    }
    mover->State = 1;
  } catch (...) {
    DaxFileMoverRollback(mover);
    throw;
  }
}

void DaxFileMoverMoveUp(TFileMoverData* mover) {
  CheckMover(mover);
  if (mover->State != 1) throw Exception("Unable fullfil MoveUp without previous CopyUp");
  try {
    for (auto& sync : mover->Syncs) {
      if (sync->TargetDir.empty()) continue;
      for (const TFileMoverFileRec& f : sync->GroupS) MoveFile(*sync, "S", f);
      for (const TFileMoverFileRec& f : sync->GroupM) MoveFile(*sync, "M", f);
      SyncDir(sync->TargetDir);
    }
    mover->State = 2;
  } catch (...) {
    DaxFileMoverRollback(mover);
    throw;
  }
}

void DaxFileMoverCommit(TFileMoverData* mover) {
  CheckMover(mover);
  if (mover->State == 4) return;
  if (mover->State == 3) throw Exception("Unable perform Commit after Rollback");
  if (mover->State != 2) throw Exception("Unable perform Commit without MoveUp");
  RemoveLeftovers(*mover);
  for (auto& sync : mover->Syncs) sync->Moves.clear();
  mover->State = 4;
}

void DaxFileMoverRollback(TFileMoverData* mover) {
  CheckMover(mover);
  if (mover->State == 3) return;
  if (mover->State == 4) throw Exception("File mover data are already commited");
  try {
    if (mover->State == 1 || mover->State == 2)
      for (auto& sync : mover->Syncs) RestoreSync(*sync);
  } catch (...) {
    // Cleanup below runs regardless.
  }
  RemoveLeftovers(*mover);
  for (auto& sync : mover->Syncs) sync->Moves.clear();
  mover->State = 3;
}

void DaxFileMoverFree(TFileMoverData* mover) {
  if (mover == nullptr) return;
  try {
    CheckMover(mover);
    if (mover->State != 3 && mover->State != 4) DaxFileMoverRollback(mover);
  } catch (...) {
    // Freeing never raises; leftovers carry the hidden temporary prefix.
  }
  // Whatever of its areas is still there is a leftover from now on.
  if (mover->Mark == TFileMoverData::kMark)
    for (auto& sync : mover->Syncs) SetLive(sync->TempName, false);
  delete mover;
}

// ---------------------------------------------------------------------------
// TFileRewriteProtector

TFileRewriteProtector::TFileRewriteProtector(const std::string& file_name,
                                             const std::string& temp_dir) {
  const std::string dir = DirPart(file_name);
  const std::string name = NamePart(file_name);
  // Without a directory the mover would skip the file and "commit" nothing.
  if (dir.empty() || name.empty())
    throw Exception("File name must have a directory and a name: \"" + file_name + "\"");
  DaxCheckNoDotSegments(dir);
  // Without a temporary directory the area goes beside the file, not beside
  // the program: that one may be read-only, and the area holds the new
  // file's content. On the file's own file system the move is a rename.
  std::string base = temp_dir.empty() ? DaxGetEnvTempDir() : temp_dir;
  if (base.empty()) {
    DaxForceDirectories(dir, kDirMode);
    base = dir;
  }
  const std::string head = TempNameHead(kProtectorPrefix);
  RemoveDeadEntries(dir, head, name);
  if (DaxExcludeTrailingSlashes(base) != DaxExcludeTrailingSlashes(dir))
    RemoveDeadEntries(DaxExcludeTrailingSlashes(base), head, std::string());
  mover_ = DaxFileMoverCreate(kProtectorPrefix, base);
  try {
    sync_ = DaxFileMoverAddSynchro(mover_, dir);
    write_path_ = DaxFileMoverAddFile(sync_, name);
  } catch (...) {
    DaxFileMoverFree(mover_);
    mover_ = nullptr;
    throw;
  }
}

TFileRewriteProtector::~TFileRewriteProtector() { DaxFileMoverFree(mover_); }

void TFileRewriteProtector::Commit() {
  DaxFileMoverCopyUp(mover_);
  DaxFileMoverMoveUp(mover_);
  DaxFileMoverCommit(mover_);
}
