// Transactional replacement of files that must never be left half-written.
// The caller writes the complete new file into a private temporary area and
// commits; only then is the area moved next to the target and the file
// swapped in, keeping the old one as a backup until the swap is done. A
// failure, or freeing the protector without a commit, leaves the old file
// in place and removes the temporary files.
//
// The mover below is the machinery: a transaction over target directories
// (synchros), each with a temporary area in the base directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TFileMoverData;
struct TFileMoverSync;

struct TFileMoverFileRec {
  std::string Name;  // relative to the target directory
};

struct TFileMoverObjectRec {
  std::string Target;
  std::string Backup;  // empty when the target did not exist before
  TFileMoverSync* Sync = nullptr;
};

struct TFileMoverSync {
  static constexpr uint32_t kMark = 0x668855AA;
  uint32_t Mark = kMark;
  TFileMoverData* Mover = nullptr;
  std::vector<TFileMoverFileRec> GroupS;
  std::vector<TFileMoverFileRec> GroupM;  // the master file, at most one
  std::string TempName;  // "." + prefix + "$" + 10 characters + "." + the writer's PID
  std::string TargetDir;
  std::vector<TFileMoverObjectRec> Moves;  // in the order performed
};

struct TFileMoverData {
  static constexpr uint32_t kMark = 0x88AA5566;
  uint32_t Mark = kMark;
  std::vector<std::unique_ptr<TFileMoverSync>> Syncs;  // in the order added
  std::string Prefix;
  uint32_t Attempts = 0;
  std::string BaseDir;
  // 0 new, 1 copied up, 2 moved up, 3 rolled back, 4 committed.
  uint8_t State = 0;
};

// Raises "Relative path is not allowed: "%s"" for a "." or ".." segment.
void DaxCheckNoDotSegments(const std::string& path);

// An empty base directory means DaxGetTempDir(). Free with DaxFileMoverFree.
TFileMoverData* DaxFileMoverCreate(const std::string& prefix, const std::string& base_dir);
TFileMoverSync* DaxFileMoverAddSynchro(TFileMoverData* mover, const std::string& target_dir);
// The path at which the caller writes the master file.
std::string DaxFileMoverAddFile(TFileMoverSync* sync, const std::string& file_name);
void DaxFileMoverCopyUp(TFileMoverData* mover);
void DaxFileMoverMoveUp(TFileMoverData* mover);
void DaxFileMoverCommit(TFileMoverData* mover);
void DaxFileMoverRollback(TFileMoverData* mover);
// Rolls back unless rolled back or committed, then releases everything.
void DaxFileMoverFree(TFileMoverData* mover);

// Test seam: called after each step that changes the file system during copy
// up and move up ("rename", "copy", "link", "fsync"), so a test can stop the
// process at every point. Null in the program.
extern void (*DaxFileMoverStepHook)(const char* step);

class TFileRewriteProtector {
 public:
  // The file name must carry its directory; a bare name raises. The
  // temporary area goes into temp_dir when given, else into the
  // environment's temporary directory (DaxGetEnvTempDir), else beside the
  // file. First the entries that rewrites of this file killed before their
  // end left there are removed; a running rewrite's area, in this process
  // or another, is left alone.
  explicit TFileRewriteProtector(const std::string& file_name,
                                 const std::string& temp_dir = std::string());
  ~TFileRewriteProtector();
  TFileRewriteProtector(const TFileRewriteProtector&) = delete;
  TFileRewriteProtector& operator=(const TFileRewriteProtector&) = delete;

  // Where the caller creates, writes and closes the complete new file.
  const std::string& WritePath() const { return write_path_; }
  // Copy up, move up and commit.
  void Commit();

 private:
  std::string write_path_;
  TFileMoverData* mover_ = nullptr;
  TFileMoverSync* sync_ = nullptr;
};
