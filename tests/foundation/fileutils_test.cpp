#include "foundation/fileutils.h"
#include "support/child_process.h"
#include "support/test_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace {

using vektest::ProcessResult;
using vektest::RunShell;
using vektest::TempDir;
using vektest::WriteFile;
using vektest::ReadFile;
using vektest::Exists;

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFileExceptionOpenError& e) {
    return "open:" + e.Message();
  } catch (const EFileException& e) {
    return e.Message();
  }
  return "<none>";
}

bool CloseOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

class EnvGuard {
 public:
  EnvGuard() {
    for (const char* n : {"TEMP", "TMP", "TMPDIR", "TEMPDIR"}) {
      const char* v = ::getenv(n);
      saved_.push_back({n, v ? std::string(v) : std::string(), v != nullptr});
      ::unsetenv(n);
    }
  }
  ~EnvGuard() {
    for (auto& s : saved_) {
      if (s.set)
        ::setenv(s.name, s.value.c_str(), 1);
      else
        ::unsetenv(s.name);
    }
  }

 private:
  struct Saved {
    const char* name;
    std::string value;
    bool set;
  };
  std::vector<Saved> saved_;
};

}  // namespace

TEST(FileErrors, EveryRaiserHasItsFormatAndClass) {
  const std::string tail = "\": No such file or directory";
  struct Case {
    std::function<void()> raise;
    std::string expected;
  } cases[] = {
      {[] { DaxCheckFileWriteError(2, "f"); }, "error [2] of writing file \"f" + tail},
      {[] { DaxRaiseFileReadError(2, "f"); }, "error [2] of reading file \"f" + tail},
      {[] { DaxCheckFileOpenError(2, "f"); }, "open:error [2] of opening file \"f" + tail},
      {[] { DaxCheckFileCreateError(2, "f"); }, "error [2] of creating file \"f" + tail},
      {[] { DaxCheckFileSeekError(2, "f"); }, "error [2] of seeking on the file \"f" + tail},
      {[] { DaxCheckFileOpenOrCreateError(2, "f"); },
       "error [2] of opening or creating file \"f" + tail},
      {[] { DaxCheckDirCreateError(2, "f"); }, "error [2] of creating directory \"f" + tail},
      {[] { DaxCheckFileDeleteError(2, "f"); }, "error [2] of deleting file \"f" + tail},
      {[] { DaxCheckGetAttrError(2, "f"); },
       "error [2] of getting attributes of file \"f" + tail},
      {[] { DaxCheckRenameError(2, "a", "b"); },
       "error [2] of renaming file/dir \"a\" to \"b" + tail},
      // Code 0: the checks do nothing, the read error raises anyway.
      {[] {
         DaxCheckFileWriteError(0, "f");
         DaxCheckFileOpenError(0, "f");
         DaxCheckRenameError(0, "a", "b");
       },
       "<none>"},
      {[] { DaxRaiseFileReadError(0, "f"); }, "error [0] of reading file \"f\": Success"},
  };
  for (const Case& c : cases) EXPECT_EQ(Message(c.raise), c.expected);
  EXPECT_EQ(DaxFormatExecuteError(13, "/bin/x"),
            "error [13] of execute \"/bin/x\": Permission denied");
  EXPECT_EQ(DaxErrorText(-1), "Unknown error -1");
}

TEST(FileErrors, EmptyNameGivesTwoWithoutTouchingTheFileSystem) {
  TDaxTextFile t;
  TDaxBinaryFile b;
  EXPECT_EQ(DaxResetTextNoRaise(t, ""), 2);
  EXPECT_EQ(DaxResetTextBufferedNoRaise(t, "", 64), 2);
  EXPECT_EQ(DaxCreateTextNoRaise(t, ""), 2);
  EXPECT_EQ(DaxCreateTextBufferedNoRaise(t, "", 64), 2);
  EXPECT_EQ(DaxAppendOrCreateTextNoRaise(t, ""), 2);
  EXPECT_EQ(DaxRewriteBinaryNoRaise(b, ""), 2);
  EXPECT_EQ(DaxResetBinaryNoRaise(b, "", 0), 2);
  EXPECT_EQ(DaxDeleteFileNoRaise(""), 2);
  EXPECT_EQ(Message([&] { DaxResetText(t, ""); }),
            "open:error [2] of opening file \"\": No such file or directory");
  EXPECT_EQ(Message([&] { DaxCreateText(t, ""); }),
            "error [2] of creating file \"\": No such file or directory");
  EXPECT_EQ(Message([&] { DaxAppendOrCreateText(t, ""); }),
            "error [2] of opening or creating file \"\": No such file or directory");
}

TEST(PathHelpers, SlashesDotSegmentsAndKinds) {
  EXPECT_EQ(DaxExcludeTrailingSlashes("a//b//"), "a//b");
  EXPECT_EQ(DaxExcludeTrailingSlashes("/"), "");
  EXPECT_EQ(DaxExcludeTrailingSlashes("///"), "");
  EXPECT_EQ(DaxExcludeTrailingSlashesW(u"x/y/"), u"x/y");
  EXPECT_EQ(DaxIncludeTrailingSlash(""), "/");
  EXPECT_EQ(DaxIncludeTrailingSlash("a/"), "a/");
  EXPECT_EQ(DaxIncludeTrailingSlashW(u"a"), u"a/");

  struct {
    const char* path;
    bool clean;
  } dots[] = {{"/a/../b", false}, {"/a/.", false}, {"./a", true},  {"../a", true},
              {"a..b", true},     {"/a/..", false}, {"/a/.b", true}, {"", true}};
  for (auto& d : dots) EXPECT_EQ(DaxIsPathWithoutDotSegments(d.path), d.clean) << d.path;

  EXPECT_TRUE(DaxIsDotEntry(".") && DaxIsDotEntry(".."));
  EXPECT_FALSE(DaxIsDotEntry("...") || DaxIsDotEntry(".a"));
  EXPECT_EQ(DaxGetPathKind(u""), 0);
  EXPECT_EQ(DaxGetPathKind(u"a/b"), 0);
  EXPECT_EQ(DaxGetPathKind(u"/a/b"), 2);
}

TEST(PathHelpers, ExpansionAgreesWithRealpathNoSymlinks) {
  const char* inputs[] = {"/a/b/../c",  "/a/./b/", "//a//b",     "/..",          "/../x",
                          "a/b/../../..", "a",     ".",          "./x/./y/..",   "/a/b/.",
                          "x/..y/.z",   "/x/...", "",            "../..",        "/"};
  for (const char* in : inputs) {
    std::string cmd = std::string("realpath -m -s -- '") + in + "' 2>/dev/null";
    if (*in == 0) cmd = "realpath -m -s . 2>/dev/null";
    const ProcessResult realpath = RunShell(cmd);
    ASSERT_FALSE(realpath.timed_out);
    const std::string expected = realpath.out.substr(0, realpath.out.find('\n'));
    EXPECT_EQ(DaxExpandFileName(in), expected) << "input '" << in << "'";
  }
  EXPECT_EQ(DaxExpandFileNameW(u"/opt/app/sub/../x.cfg"), u"/opt/app/x.cfg");
}

TEST(ProgramDir, IsTheDirectoryOfThisExecutable) {
  std::string path = DaxGetProgramPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '/');
  EXPECT_EQ(DaxGetProgramDirWithSlash() + path.substr(path.rfind('/') + 1), path);
  EXPECT_EQ(DaxGetProgramDir() + "/", DaxGetProgramDirWithSlash());
}

// DaxGetEnvTempDir is the same lookup without the program's directory.
TEST(TempDirLookup, FirstSetVariableDecidesElseProgramDir) {
  EnvGuard guard;
  TempDir existing;
  const std::string prog = DaxGetProgramDirWithSlash();
  EXPECT_EQ(DaxGetTempDir(), prog);  // none set
  EXPECT_EQ(DaxGetEnvTempDir(), "");
  ::setenv("TMPDIR", (existing.path() + "//").c_str(), 1);
  EXPECT_EQ(DaxGetTempDir(), existing.path() + "/");
  EXPECT_EQ(DaxGetEnvTempDir(), existing.path() + "/");
  ::setenv("TEMP", "/nonexistent/vek-temp", 1);
  ::setenv("TMP", existing.path().c_str(), 1);
  EXPECT_EQ(DaxGetTempDir(), prog);  // the first one found wins, even when missing
  EXPECT_EQ(DaxGetEnvTempDir(), "");
  ::setenv("TEMP", "", 1);
  EXPECT_EQ(DaxGetTempDir(), existing.path() + "/");  // empty counts as unset
}

TEST(Directories, CreateForceRenameDelete) {
  TempDir dir;
  EXPECT_EQ(DaxCreateDirNoRaise(dir / "x/"), 0);
  EXPECT_TRUE(Exists(dir / "x"));
  EXPECT_EQ(Message([&] { DaxCreateDir(dir / "x/"); }),
            "error [17] of creating directory \"" + (dir / "x/") + "\": File exists");

  EXPECT_EQ(DaxForceDirectoriesNoRaise(""), -1);
  EXPECT_EQ(DaxForceDirectoriesNoRaise("/"), 0);
  EXPECT_EQ(DaxForceDirectoriesNoRaise(dir.path()), 0);
  EXPECT_EQ(DaxForceDirectoriesNoRaise(dir / "p//q/r/"), 0);
  EXPECT_TRUE(Exists(dir / "p/q/r"));
  WriteFile(dir / "file", "x");
  EXPECT_EQ(DaxForceDirectoriesNoRaise(dir / "file"), EEXIST);
  EXPECT_EQ(DaxForceDirectoriesNoRaise(dir / "file/sub"), ENOTDIR);

  DaxRenameFile(dir / "file", dir / "renamed");
  EXPECT_TRUE(Exists(dir / "renamed"));
  EXPECT_EQ(Message([&] { DaxRenameFile(dir / "none", dir / "z"); }),
            "error [2] of renaming file/dir \"" + (dir / "none") + "\" to \"" + (dir / "z") +
                "\": No such file or directory");
  DaxDeleteFile(dir / "renamed");
  EXPECT_FALSE(Exists(dir / "renamed"));
  EXPECT_EQ(DaxDeleteFileNoRaise(dir / "renamed"), ENOENT);
}

TEST(Directories, RenameAcrossFileSystemsReportsTheCrossDeviceError) {
  TempDir shm("/dev/shm");
  TempDir tmp("/var/tmp");
  ASSERT_FALSE(shm.path().empty());
  WriteFile(shm / "f", "data");
  EXPECT_EQ(DaxRenameFileNoRaise(shm / "f", tmp / "f"), EXDEV);
  EXPECT_EQ(Message([&] { DaxRenameFile(shm / "f", tmp / "f"); }),
            "error [18] of renaming file/dir \"" + (shm / "f") + "\" to \"" + (tmp / "f") +
                "\": Invalid cross-device link");
  EXPECT_EQ(ReadFile(shm / "f"), "data");
}

TEST(Attributes, BuiltFromLstat) {
  TempDir dir;
  WriteFile(dir / "plain", "x");
  WriteFile(dir / ".hidden", "x");
  WriteFile(dir / "ro", "x");
  ::chmod((dir / "ro").c_str(), 0444);
  ::mkdir((dir / "sub").c_str(), 0755);
  ASSERT_EQ(::symlink((dir / "sub").c_str(), (dir / "link").c_str()), 0);
  struct {
    const char* name;
    uint32_t attr;
  } cases[] = {{"plain", 0x20}, {".hidden", 0x22}, {"ro", 0x21}, {"sub", 0x10}, {"link", 0x00}};
  for (auto& c : cases) EXPECT_EQ(DaxGetFileAttributes(dir / c.name), c.attr) << c.name;
  EXPECT_EQ(Message([&] { DaxGetFileAttributes(dir / "none"); }),
            "error [2] of getting attributes of file \"" + (dir / "none") +
                "\": No such file or directory");
  EXPECT_EQ(DaxSetFileAttributesNoRaise(dir / "ro", 0x20), 0);
  EXPECT_EQ(DaxGetFileAttributes(dir / "ro"), 0x20u);
  EXPECT_EQ(DaxSetFileAttributesNoRaise(dir / "plain", 0x21), 0);
  EXPECT_EQ(DaxGetFileAttributes(dir / "plain"), 0x21u);
}

TEST(TextFile, LineEndsAcrossBufferBoundaries) {
  TempDir dir;
  WriteFile(dir / "t", "a\nb\r\nc\rd\r\r\ne");
  const std::vector<std::string> expected = {"a", "b", "c", "d", "", "e"};
  for (size_t buffer : {1u, 2u, 3u, 4096u}) {
    TDaxTextFile f;
    DaxResetTextBuffered(f, dir / "t", buffer);
    EXPECT_TRUE(CloseOnExec(f.Descriptor()));
    std::vector<std::string> lines;
    while (!DaxTextEof(f)) {
      std::string line;
      DaxTextReadLine(f, line);
      lines.push_back(line);
    }
    EXPECT_EQ(lines, expected) << "buffer " << buffer;
    EXPECT_EQ(DaxCloseTextFile(f), 0);
  }
  WriteFile(dir / "empty", "");
  TDaxTextFile f;
  DaxResetText(f, dir / "empty");
  EXPECT_TRUE(DaxTextEof(f));
  EXPECT_EQ(Message([&] { DaxResetText(f, dir.path()); }),
            "open:error [21] of opening file \"" + dir.path() + "\": Is a directory");
}

TEST(TextFile, WritingThroughTheBufferAppendAndErrors) {
  TempDir dir;
  TDaxTextFile f;
  DaxCreateTextBuffered(f, dir / "w", 3);
  EXPECT_TRUE(CloseOnExec(f.Descriptor()));
  DaxTextWriteBytes(f, "hello ", 6);
  DaxTextWriteBytes(f, "world", 5);
  EXPECT_EQ(DaxCloseTextFile(f), 0);
  EXPECT_EQ(ReadFile(dir / "w"), "hello world");

  f.Assign(dir / "w");
  DaxAppendText(f);
  DaxTextWriteBytes(f, "!", 1);
  DaxCloseTextFile(f);
  EXPECT_EQ(ReadFile(dir / "w"), "hello world!");

  EXPECT_EQ(DaxAppendOrCreateTextNoRaise(f, dir / "new"), 0);
  DaxTextWriteBytes(f, "n", 1);
  DaxCloseTextFile(f);
  EXPECT_EQ(ReadFile(dir / "new"), "n");

  f.Assign(dir / "missing");
  EXPECT_EQ(Message([&] { DaxAppendText(f); }),
            "open:error [2] of opening file \"" + (dir / "missing") +
                "\": No such file or directory");
  DaxResetText(f, dir / "w");
  EXPECT_EQ(Message([&] { DaxTextWriteBytes(f, "x", 1); }),
            "error [9] of writing file \"" + (dir / "w") + "\": Bad file descriptor");
  DaxCloseTextFile(f);
  EXPECT_EQ(ReadFile(dir / "w"), "hello world!");
}

TEST(TextFile, LongNamesOpenExactlyThatFile) {
  TempDir dir;
  std::string deep = dir.path();
  while (deep.size() < 600) deep += "/" + std::string(60, 'd');
  ASSERT_EQ(DaxForceDirectoriesNoRaise(deep), 0);
  std::string name = deep + "/" + std::string(200, 'f');
  TDaxTextFile f;
  DaxCreateText(f, name);
  DaxTextWriteBytes(f, "long", 4);
  DaxCloseTextFile(f);
  EXPECT_EQ(ReadFile(name), "long");
  EXPECT_FALSE(Exists(name.substr(0, 255)));
}

TEST(BinaryFile, ModesAndCopyData) {
  TempDir dir;
  WriteFile(dir / "src", std::string(1000, 'z') + "end");
  TDaxBinaryFile src, dst;
  DaxResetBinary(src, dir / "src", 0);
  EXPECT_TRUE(CloseOnExec(src.Descriptor()));
  DaxRewriteBinary(dst, dir / "dst");
  char buf[7];
  EXPECT_EQ(Message([&] { DaxCopyFileData(src, dst, 10, buf, 0); }), "invalid buffer size");
  EXPECT_EQ(Message([&] { DaxCopyFileData(src, dst, 10, nullptr, 7); }), "invalid buffer");
  EXPECT_EQ(DaxCopyFileData(src, dst, 1 << 20, buf, sizeof buf), 0);  // more than there is
  DaxCloseBinaryFile(dst);
  EXPECT_EQ(ReadFile(dir / "dst"), std::string(1000, 'z') + "end");

  // A write-only open cannot read, and the mode is per file.
  DaxResetBinary(dst, dir / "dst", 1);
  size_t n = 0;
  EXPECT_EQ(DaxBlockReadNoRaise(dst, buf, 1, n), EBADF);
  EXPECT_EQ(DaxSeekBinaryNoRaise(src, 1000), 0);
  EXPECT_EQ(DaxBlockReadNoRaise(src, buf, sizeof buf, n), 0);
  EXPECT_EQ(std::string(buf, n), "end");
  EXPECT_EQ(DaxResetBinaryNoRaise(src, dir / "src", 3), EINVAL);
}

TEST(CopyFile, FailedCopyLeavesNoDestination) {
  TempDir dir;
  char buf[64];
  ::mkdir((dir / "adir").c_str(), 0755);
  // Opening a directory works, reading it fails after the destination exists.
  EXPECT_EQ(DaxCopyFileNoRaise(dir / "adir", dir / "out", buf, sizeof buf), EISDIR);
  EXPECT_FALSE(Exists(dir / "out"));
  EXPECT_EQ(DaxCopyFileNoRaise(dir / "none", dir / "out", buf, sizeof buf), ENOENT);
  EXPECT_FALSE(Exists(dir / "out"));
  WriteFile(dir / "secret", "pw");
  ::chmod((dir / "secret").c_str(), 0600);
  EXPECT_EQ(DaxCopyFileNoRaise(dir / "secret", dir / "copy", buf, sizeof buf), 0);
  struct stat st {};
  ::stat((dir / "copy").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFile(dir / "copy"), "pw");

  // Bits the umask withholds are not granted by a permissive source.
  WriteFile(dir / "open", "x");
  ::chmod((dir / "open").c_str(), 0666);
  const mode_t old_mask = ::umask(022);
  EXPECT_EQ(DaxCopyFileNoRaise(dir / "open", dir / "copy2", buf, sizeof buf), 0);
  ::umask(old_mask);
  ::stat((dir / "copy2").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(Listing, FindFilesMatchesMasksAndSkipsDirectories) {
  TempDir dir;
  for (const char* n : {"a.wav", "b.wav", ".c.wav", "d.txt", "e.wav2"}) WriteFile(dir / n, "");
  ::mkdir((dir / "f.wav").c_str(), 0755);
  std::vector<std::string> found;
  EXPECT_EQ(DaxFindFiles(dir.path(), "*.wav", kDaxAttrAnyFile, found), 0);
  std::set<std::string> got(found.begin(), found.end());
  EXPECT_EQ(got, (std::set<std::string>{dir / "a.wav", dir / "b.wav", dir / ".c.wav"}));
  found.clear();
  EXPECT_EQ(DaxFindFiles(dir.path(), "?.wav", 0x21, found), 0);  // hidden ones not admitted
  EXPECT_EQ(found.size(), 2u);
  EXPECT_EQ(DaxFindFiles(dir / "none", "*", kDaxAttrAnyFile, found), 3);

  struct {
    const char* name;
    const char* mask;
    bool match;
  } masks[] = {{"abc", "*", true},   {"abc", "a?c", true}, {"abc", "a*c*", true},
               {"abc", "*b", false}, {"", "*", true},      {"aXbXc", "a*b*c", true},
               {"ab", "a?b", false}, {"a.b", "*.*", true}};
  for (auto& m : masks) EXPECT_EQ(DaxMatchesMask(m.name, m.mask), m.match) << m.name << m.mask;
}

TEST(RecursiveCopyDelete, CopiesTreesAndNeverFollowsLinks) {
  TempDir dir;
  TempDir outside;
  WriteFile(outside / "precious", "keep");
  ::mkdir((dir / "src").c_str(), 0755);
  ::mkdir((dir / "src/sub").c_str(), 0700);
  WriteFile(dir / "src/one", "1");
  WriteFile(dir / "src/.hidden", "h");
  WriteFile(dir / "src/sub/two", "2");
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "src/dirlink").c_str()), 0);
  ASSERT_EQ(::symlink((outside / "precious").c_str(), (dir / "src/filelink").c_str()), 0);
  ::mkdir((dir / "dst").c_str(), 0755);

  EXPECT_EQ(DaxCopyDirectory(dir / "src/", dir / "dst"), 0);
  EXPECT_EQ(ReadFile(dir / "dst/src/one"), "1");
  EXPECT_EQ(ReadFile(dir / "dst/src/.hidden"), "h");
  EXPECT_EQ(ReadFile(dir / "dst/src/sub/two"), "2");
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "dst/src/dirlink").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::lstat((dir / "dst/src/sub").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(Exists(dir / "dst/src/dirlink/precious/x"));
  // A link as the copied directory itself is not followed.
  EXPECT_EQ(DaxCopyDirectory(dir / "src/dirlink", dir / "dst"), ENOTDIR);
  EXPECT_EQ(DaxCopyDirectory(dir / "none", dir / "dst"), ENOENT);
  // Copying again into the existing tree: a link planted there is refused,
  // not written through.
  ASSERT_EQ(DaxForceDirectoriesNoRaise(dir / "dst2/src"), 0);
  ASSERT_EQ(::symlink((outside / "precious").c_str(), (dir / "dst2/src/one").c_str()), 0);
  EXPECT_EQ(DaxCopyDirectory(dir / "src", dir / "dst2"), ELOOP);
  EXPECT_EQ(ReadFile(outside / "precious"), "keep");

  // Delete: the links go, what they point at stays.
  EXPECT_EQ(DaxDeleteDirectory(dir / "src"), 0);
  EXPECT_FALSE(Exists(dir / "src"));
  EXPECT_EQ(ReadFile(outside / "precious"), "keep");
  // A link in place of the directory: nothing behind it is cleared.
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "top").c_str()), 0);
  EXPECT_EQ(DaxClearDirectory(dir / "top"), 3);
  EXPECT_EQ(ReadFile(outside / "precious"), "keep");

  EXPECT_EQ(DaxDeleteDirectory(""), 3);
  EXPECT_EQ(DaxDeleteDirectory("/"), 3);
  EXPECT_EQ(DaxDeleteDirectory("//"), 3);
  EXPECT_EQ(DaxDeleteDirectory(dir / "none"), 3);
  EXPECT_TRUE(Exists("/tmp"));
}

// A script's private folder: nobody else can enter it, and clearing it as
// root removes links, never what they point at.
TEST(UniqueNames, PrivateTempDirIsClearedWithoutFollowingLinks) {
  TempDir dir, outside;
  WriteFile(outside / "precious", "keep");
  std::string name;
  int fd = -1;
  ASSERT_EQ(DaxCreatePrivateTempDir(dir.path(), "fx", name, fd), 0);
  EXPECT_EQ(name.rfind(".fx", 0), 0u);
  EXPECT_EQ(name.size(), 13u);
  EXPECT_TRUE(CloseOnExec(fd));
  const std::string folder = dir / name;
  struct stat st {};
  ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ::mkdir((folder + "/sub").c_str(), 0755);
  ::mkdir((folder + "/sub/deeper").c_str(), 0755);
  WriteFile(folder + "/sub/deeper/file", "x");
  WriteFile(folder + "/.out", "x");
  ASSERT_EQ(::symlink(outside.path().c_str(), (folder + "/sub/dirlink").c_str()), 0);
  ASSERT_EQ(::symlink((outside / "precious").c_str(), (folder + "/filelink").c_str()), 0);

  EXPECT_EQ(DaxClearDirectoryAt(fd), 0);
  ::close(fd);
  EXPECT_EQ(::rmdir(folder.c_str()), 0) << "not emptied";
  EXPECT_EQ(ReadFile(outside / "precious"), "keep");
  EXPECT_EQ(DaxCreatePrivateTempDir(dir / "none", "fx", name, fd), 3);
  EXPECT_EQ(fd, -1);
}

TEST(UniqueNames, TenBase36CharactersAndFreeTempNames) {
  std::set<std::string> seen;
  for (uint32_t i = 0; i < 200; ++i) {
    std::string n = DaxMakeUniqueName(i, i * 7, "s1", "s2");
    ASSERT_EQ(n.size(), 10u);
    for (char c : n) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) << n;
    seen.insert(n);
  }
  EXPECT_GT(seen.size(), 190u);  // a, b feed the hash

  TempDir dir;
  std::string name;
  EXPECT_EQ(DaxMakeUniqueTempFileName(dir.path(), "fi", name), 0);
  EXPECT_EQ(name.rfind(".fi", 0), 0u);
  EXPECT_EQ(name.size(), 13u);
  EXPECT_FALSE(Exists(dir / name));
  EXPECT_EQ(DaxMakeUniqueTempFileName(dir / "none", "fi", name), 3);

  std::set<std::string> created;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(DaxCreateUniqueTempFile(dir.path(), "fo", name), 0);
    struct stat st {};
    ASSERT_EQ(::lstat((dir / name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    created.insert(name);
  }
  EXPECT_EQ(created.size(), 20u);
}

namespace {

// The log's open: what lies at the name, and what the open must leave.
TEST(LogFileOpen, AppendsToARegularFileOnlyAndCreatesItOwnerOnly) {
  TempDir dir;
  const std::string log = dir / "log";
  const std::string target = dir / "target";
  struct Case {
    const char* name;
    std::function<void()> plant;
    int code;
  } cases[] = {
      {"missing: created", [] {}, 0},
      {"existing: appended", [&] { WriteFile(log, "old\n"); }, 0},
      {"link to a file", [&] { ASSERT_EQ(::symlink(target.c_str(), log.c_str()), 0); }, ELOOP},
      {"dangling link", [&] { ASSERT_EQ(::symlink((dir / "none").c_str(), log.c_str()), 0); }, ELOOP},
      {"pipe without reader", [&] { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); }, kDaxErrNotRegularFile},
      {"link to a device", [&] { ASSERT_EQ(::symlink("/dev/null", log.c_str()), 0); }, ELOOP},
      {"folder", [&] { ASSERT_EQ(::mkdir(log.c_str(), 0700), 0); }, EISDIR},
  };
  const mode_t old_mask = ::umask(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunShell("rm -rf '" + log + "'");
    WriteFile(target, "target\n");
    ::chmod(target.c_str(), 0644);
    c.plant();
    const bool existed = Exists(log);
    if (existed && c.code == 0) ::chmod(log.c_str(), 0644);
    TDaxTextFile f;
    ASSERT_EQ(DaxOpenLogTextNoRaise(f, log), c.code);
    if (c.code == 0) {
      DaxTextWriteBytes(f, "new\n", 4);
      EXPECT_EQ(DaxCloseTextFile(f), 0);
      EXPECT_EQ(ReadFile(log), existed ? "old\nnew\n" : "new\n");
      struct stat st {};
      ASSERT_EQ(::stat(log.c_str(), &st), 0);
      // Never truncated, an existing file's mode kept, a new one 0600.
      EXPECT_EQ(st.st_mode & 0777, existed ? 0644u : 0600u);
    } else {
      EXPECT_FALSE(f.IsOpen());
      EXPECT_EQ(ReadFile(target), "target\n");
      EXPECT_FALSE(Exists(dir / "none"));
      if (c.code != EISDIR) {
        EXPECT_EQ(Message([&] { DaxOpenLogText(f, log); }),
                  "error [" + std::to_string(c.code) + "] of opening or creating file \"" + log +
                      "\": not a regular file (a symbolic link, a pipe or a device): the log is "
                      "written only to a regular file");
      }
    }
  }
  ::umask(old_mask);
  // A device named directly.
  TDaxTextFile f;
  EXPECT_EQ(DaxOpenLogTextNoRaise(f, "/dev/null"), kDaxErrNotRegularFile);
}

}  // namespace
