#include "station/sound_writer.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/event_log.h"
#include "support/test_files.h"
#include "support/wait.h"

namespace {

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }
std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Run(const std::string& command) {
  std::string out = vektest::RunShell(command).out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string Soxi(const std::string& option, const std::string& file) {
  return Run("soxi " + option + " '" + file + "' 2>&1");
}

// The samples as sox decodes them: 16-bit little-endian raw.
std::string SoxSamples(const std::string& file) {
  return Run("sox '" + file + "' -t raw -e signed-integer -b 16 -L - 2>/dev/null; echo");
}

std::vector<std::string> ListFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// One 640-byte block whose samples are distinct from those of other blocks.
std::string Block(int n) {
  std::string b(640, '\0');
  for (int i = 0; i < 320; ++i) {
    const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(n * 320 + i - 16000));
    b[2 * i] = static_cast<char>(v & 0xFF);
    b[2 * i + 1] = static_cast<char>(v >> 8);
  }
  return b;
}

// Queues blocks [from, to) and appends them to `pcm`, what the file must hold.
void QueueBlocks(TVEKSoundWriter& w, std::string& pcm, int from, int to) {
  for (int i = from; i < to; ++i) {
    pcm += Block(i);
    w.QueueData(pcm.data() + pcm.size() - 640, 640);
  }
}

std::uint32_t Le32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

class SoundWriterTest : public ::testing::Test {
 protected:
  SoundWriterTest() {
    params.Enabled = true;
    params.Dir = u"rec";
    params.SubdirMode = fwsm_NONE;
  }

  std::unique_ptr<TVEKSoundWriter> Make() {
    auto w = std::make_unique<TVEKSoundWriter>(params, Wide(dir.path()));
    w->Now = [this] { return now; };
    w->OnFileWritten = [this](const std::u16string& p) {
      written.Add(Narrow(p));
    };
    w->OnRecorderError = [this](const std::u16string& e) {
      errors.Add(Narrow(e));
    };
    w->StartProgram = [this](const std::u16string& program, const std::vector<std::u16string>& args) {
      started.Add(Narrow(program));
      for (const auto& a : args) started.Add(Narrow(a));
      return 0;
    };
    return w;
  }

  bool WaitFor(std::size_t files, std::size_t errs = 0) {
    return written.WaitCount(files) && errors.WaitCount(errs);
  }

  static void WaitIdle(TVEKSoundWriter& w) {
    vektest::WaitUntil([&] { return w.Pending() == 0; });
  }

  vektest::TempDir dir;
  TVEKWriterCfgParams params;
  TDaxDateTime now{2024, 3, 5, 10, 11, 12, 345};
  vektest::EventLog written, errors, started;
};

TEST_F(SoundWriterTest, RecordingReadsBackWithSox) {
  auto w = Make();
  std::string pcm;
  w->QueueStart(true, u"145.500", u"desc", u"Name", u"City", u"Land");
  QueueBlocks(*w, pcm, 0, 50);
  w->QueueStop();
  ASSERT_TRUE(WaitFor(1));
  const std::string file = written.Events()[0];
  EXPECT_EQ(file, dir / "rec/20240305101112345S.wav");
  const std::string bytes = vektest::ReadFile(file);
  ASSERT_EQ(bytes.size(), 44u + 32000u);
  EXPECT_EQ(Le32(bytes, 4), 32036u);
  EXPECT_EQ(Le32(bytes, 40), 32000u);
  EXPECT_EQ(Soxi("-r", file), "8000");
  EXPECT_EQ(Soxi("-c", file), "1");
  EXPECT_EQ(Soxi("-b", file), "16");
  EXPECT_EQ(Soxi("-s", file), "16000");
  EXPECT_EQ(SoxSamples(file), pcm);
  EXPECT_TRUE(errors.Events().empty());
  EXPECT_TRUE(started.Events().empty());  // no script configured
}

TEST_F(SoundWriterTest, DirectionAdmitsSources) {
  const struct {
    std::uint8_t direction;
    std::vector<std::string> letters;
  } cases[] = {{frd_BOTH, {"R", "S"}}, {frd_SERVER, {"S"}}, {frd_RADIO, {"R"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.direction));
    params.Direction = c.direction;
    params.Dir = Wide("dir" + std::to_string(c.direction));
    params.FileNameFormat = fwff_SHORT;
    written.Clear();
    auto w = Make();
    const std::string b = Block(1);
    for (bool server : {true, false}) {
      w->QueueStart(server, u"", u"", u"", u"", u"");
      w->QueueData(b.data(), 640);
      w->QueueStop();
    }
    // The admitted overs arrive; give a refused one the time to show too.
    ASSERT_TRUE(WaitFor(c.letters.size()));
    WaitIdle(*w);
    w.reset();
    std::vector<std::string> letters;
    for (const std::string& name : ListFiles(dir / ("dir" + std::to_string(c.direction)))) {
      letters.push_back(name.substr(14, name.size() - 18));
      EXPECT_EQ(vektest::ReadFile(dir / ("dir" + std::to_string(c.direction)) + "/" + name).size(), 684u);
    }
    std::sort(letters.begin(), letters.end());
    EXPECT_EQ(letters, c.letters);
  }
}

TEST_F(SoundWriterTest, OversInTheSameSecondGetTheirOwnFiles) {
  params.FileNameFormat = fwff_SHORT;
  params.SubdirMode = fwsm_YYYY_MMDD;
  auto w = Make();
  // A new talker without a close in between, then a third over.
  for (int over = 0; over < 3; ++over) {
    w->QueueStart(true, u"", u"", u"", u"", u"");
    for (int i = 0; i <= over; ++i) {
      const std::string b = Block(over * 10 + i);
      w->QueueData(b.data(), 640);
    }
  }
  w->QueueStop();
  ASSERT_TRUE(WaitFor(3));
  const std::string sub = dir / "rec/2024/0305";
  EXPECT_EQ(written.Events(), (std::vector<std::string>{sub + "/20240305101112S.wav", sub + "/20240305101112S_1.wav",
                                               sub + "/20240305101112S_2.wav"}));
  for (int over = 0; over < 3; ++over) {
    std::string pcm;
    for (int i = 0; i <= over; ++i) pcm += Block(over * 10 + i);
    EXPECT_EQ(SoxSamples(written.Events()[over]), pcm) << over;
    EXPECT_EQ(Soxi("-s", written.Events()[over]), std::to_string(320 * (over + 1)));
  }
}

TEST_F(SoundWriterTest, StopInTheMiddleKeepsEveryQueuedBlock) {
  auto w = Make();
  std::string pcm;
  w->QueueStart(false, u"", u"", u"", u"", u"");
  QueueBlocks(*w, pcm, 0, 5);
  WaitIdle(*w);
  // Queued right before the stop, without a close.
  QueueBlocks(*w, pcm, 5, 40);
  w->Stop();
  const std::string late = Block(99);
  w->QueueData(late.data(), 640);  // after the stop: not recorded
  w->QueueStart(true, u"", u"", u"", u"", u"");
  w.reset();
  ASSERT_EQ(written.Events().size(), 1u);
  const std::string bytes = vektest::ReadFile(written.Events()[0]);
  EXPECT_EQ(Le32(bytes, 40), 40u * 640u);
  EXPECT_EQ(Soxi("-s", written.Events()[0]), "12800");
  EXPECT_EQ(SoxSamples(written.Events()[0]), pcm);
  EXPECT_EQ(ListFiles(dir / "rec").size(), 1u);
}

TEST_F(SoundWriterTest, ScriptGetsTheFileAndTheTalker) {
  params.Script = u"on_rec.sh";
  auto w = Make();
  const std::string b = Block(0);
  w->QueueStart(true, u"BC", u"DS", u"ON", u"CT", u"NN");
  w->QueueData(b.data(), 640);
  w->QueueStop();
  ASSERT_TRUE(WaitFor(1));
  w.reset();
  EXPECT_EQ(started.Events(),
            (std::vector<std::string>{dir / "on_rec.sh", written.Events()[0], "S", "BC", "DS", "ON", "CT", "NN"}));
}

TEST_F(SoundWriterTest, UncreatableDirectoryIsReportedAndDataDropped) {
  vektest::WriteFile(dir / "blocker", "x");
  params.Dir = u"blocker/rec";
  auto w = Make();
  const std::string b = Block(0);
  w->QueueStart(true, u"", u"", u"", u"", u"");
  w->QueueData(b.data(), 640);
  w->QueueStop();
  ASSERT_TRUE(WaitFor(0, 1));
  WaitIdle(*w);
  w.reset();
  EXPECT_NE(errors.Events()[0].find("of creating directory"), std::string::npos) << errors.Events()[0];
  EXPECT_EQ(errors.Events().size(), 1u);
  EXPECT_TRUE(written.Events().empty());
}

// The program runs as root; a local user who can write where recordings go
// must not get it to write anywhere else.
TEST_F(SoundWriterTest, LinksAndForeignFoldersAreRefused) {
  const std::string victims = dir / "victims";
  ASSERT_EQ(mkdir(victims.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink(victims.c_str(), (dir / "sub/2024").c_str()), 0);
  ASSERT_EQ(symlink(victims.c_str(), (dir / "linked").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "foreign").c_str(), 0777), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown((dir / "foreign").c_str(), 65534, 65534), 0);
  }
  const struct {
    const char* dir;
    std::uint8_t subdir;
    std::string refused;  // the level named in the error
    int code;
  } cases[] = {
      {"linked", fwsm_NONE, dir / "linked", ELOOP},
      {"sub", fwsm_YYYY_MMDD, dir / "sub/2024", ELOOP},
      {"foreign/rec", fwsm_NONE, dir / "foreign", EPERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    if (c.code == EPERM && !root) continue;
    params.Dir = Wide(c.dir);
    params.SubdirMode = c.subdir;
    errors.Clear();
    auto w = Make();
    const std::string b = Block(0);
    w->QueueStart(true, u"", u"", u"", u"", u"");
    w->QueueData(b.data(), 640);
    w->QueueStop();
    ASSERT_TRUE(errors.WaitCount(1));
    WaitIdle(*w);
    w.reset();
    EXPECT_EQ(errors.Events(), (std::vector<std::string>{"error [" + std::to_string(c.code) +
                                                         "] of creating directory \"" + c.refused + "\": " +
                                                         std::strerror(c.code)}));
  }
  EXPECT_TRUE(written.Events().empty());
  EXPECT_TRUE(ListFiles(victims).empty());
  EXPECT_TRUE(ListFiles(dir / "foreign").empty() || !root);
}

// A name planted before the file is made is passed over; a file swapped for
// a link while it is written still gets its header, and the link's target
// is left alone.
TEST_F(SoundWriterTest, HeaderGoesToTheFileWrittenNeverThroughALink) {
  const std::string victim = dir / "victim";
  vektest::WriteFile(victim, "root:x:0:0:root:/root:/bin/sh\n");
  ASSERT_EQ(mkdir((dir / "rec").c_str(), 0755), 0);
  const std::string first = dir / "rec/20240305101112345S.wav";
  ASSERT_EQ(symlink(victim.c_str(), first.c_str()), 0);
  auto w = Make();
  std::string pcm;
  w->QueueStart(true, u"", u"", u"", u"", u"");
  QueueBlocks(*w, pcm, 0, 3);
  WaitIdle(*w);
  const std::string made = dir / "rec/20240305101112345S_1.wav";
  struct stat st {};
  ASSERT_EQ(lstat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string moved = dir / "moved.wav";
  ASSERT_EQ(rename(made.c_str(), moved.c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), made.c_str()), 0);
  QueueBlocks(*w, pcm, 3, 6);
  w->QueueStop();
  ASSERT_TRUE(WaitFor(1));
  w.reset();
  EXPECT_EQ(vektest::ReadFile(victim), "root:x:0:0:root:/root:/bin/sh\n");
  EXPECT_EQ(Le32(vektest::ReadFile(moved), 40), 6u * 640u);
  EXPECT_EQ(SoxSamples(moved), pcm);
  EXPECT_TRUE(errors.Events().empty());
}

TEST_F(SoundWriterTest, NewFoldersAreWritableByTheOwnerOnly) {
  params.SubdirMode = fwsm_YYYY_MM_DD;
  const mode_t old = umask(0);
  auto w = Make();
  w->QueueStart(false, u"", u"", u"", u"", u"");
  w->QueueStop();
  ASSERT_TRUE(WaitFor(1));
  w.reset();
  umask(old);
  for (const char* level : {"rec", "rec/2024", "rec/2024/03", "rec/2024/03/05"}) {
    struct stat st {};
    ASSERT_EQ(stat((dir / level).c_str(), &st), 0) << level;
    EXPECT_EQ(st.st_mode & 022, 0u) << level;
  }
  struct stat st {};
  ASSERT_EQ(stat(written.Events()[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// A full disk ends the over with a file that says what it holds.
TEST_F(SoundWriterTest, FullDiskLeavesAPlayableCutFile) {
  const std::string small = dir / "small";
  ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
  // 13 pages: the first 64 KiB flush is cut short in the middle.
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=52k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  params.Dir = Wide(small);
  params.Script = u"on_rec.sh";
  auto w = Make();
  std::string pcm;
  w->QueueStart(true, u"", u"", u"", u"", u"");
  QueueBlocks(*w, pcm, 0, 200);
  w->QueueStop();
  ASSERT_TRUE(WaitFor(1, 1));
  WaitIdle(*w);
  const std::string file = written.Events()[0];
  const std::string bytes = vektest::ReadFile(file);
  ASSERT_GT(bytes.size(), 44u);
  ASSERT_LT(bytes.size(), 44u + pcm.size());
  const std::size_t data = bytes.size() - 44;
  EXPECT_EQ(data % 2, 0u);
  EXPECT_EQ(Le32(bytes, 4), data + 36);
  EXPECT_EQ(Le32(bytes, 40), data);
  EXPECT_EQ(Soxi("-s", file), std::to_string(data / 2));
  EXPECT_EQ(SoxSamples(file), pcm.substr(0, data));
  ASSERT_EQ(errors.Events().size(), 1u);
  EXPECT_EQ(errors.Events()[0].rfind("error [28] of writing file \"" + file + "\": ", 0), 0u) << errors.Events()[0];
  EXPECT_EQ(started.Events().at(1), file);  // the cut file is still handed on

  // The next over finds no room even for its header: reported, no file.
  const std::string b = Block(0);
  w->QueueStart(false, u"", u"", u"", u"", u"");
  w->QueueData(b.data(), 640);
  w->QueueStop();
  ASSERT_TRUE(errors.WaitCount(2));
  w.reset();
  EXPECT_EQ(errors.Events().size(), 2u);
  EXPECT_EQ(ListFiles(small), (std::vector<std::string>{file.substr(small.size() + 1)}));
}

TEST(SoundWriterParts, SubdirectoriesAndHeader) {
  const TDaxDateTime t{2024, 3, 5, 1, 2, 3, 4};
  EXPECT_EQ(VekSoundWriterDir(u"/b", fwsm_NONE, t), u"/b");
  EXPECT_EQ(VekSoundWriterDir(u"/b", fwsm_YYYY_MM_DD, t), u"/b/2024/03/05");
  EXPECT_EQ(VekSoundWriterDir(u"/b", fwsm_YYYYMM_DD, t), u"/b/202403/05");
  EXPECT_EQ(VekSoundWriterDir(u"/b", fwsm_YYYYMMDD, t), u"/b/20240305");
  EXPECT_EQ(VekSoundWriterDir(u"/b", fwsm_YYYY_MMDD, t), u"/b/2024/0305");
  try {
    VekSoundWriterDir(u"/b", 9, t);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Unknown subdir mode");
  }

  // An empty recording closes with the sizes of no data.
  std::uint8_t h[44];
  VekSoundWriterHeader(h, 0, true);
  const std::string s(reinterpret_cast<char*>(h), 44);
  EXPECT_EQ(s.substr(0, 16), std::string("RIFF\x24\0\0\0WAVEfmt ", 16));
  EXPECT_EQ(Le32(s, 40), 0u);

  // Queued records are freed with the queue; foreign codes are refused.
  {
    TVEKSoundWriterQueue q;
    q.PushCommand(new TVEKSoundWriterCommandOpen);
    q.PushCommand(new TVEKSoundWriterCommandData);
  }
  TVEKSoundWriterCommand bad{7};
  try {
    TVEKSoundWriterQueue::FreeCommand(&bad);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "TVEKSoundWriterQueue.DeleteData: Unknown command");
  }
}

TEST(SoundWriterParts, DisabledRecorderQueuesNothing) {
  vektest::TempDir dir;
  TVEKWriterCfgParams p;
  p.Enabled = false;
  TVEKSoundWriter w(p, Wide(dir.path()));
  const std::string b = Block(0);
  w.QueueStart(true, u"", u"", u"", u"", u"");
  w.QueueData(b.data(), 640);
  EXPECT_EQ(w.Pending(), 0);
}

}  // namespace
