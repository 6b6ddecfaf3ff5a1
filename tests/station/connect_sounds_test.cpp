#include "station/connect_sounds.h"

#include "foundation/charset.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/test_files.h"

namespace {

using vektest::TempDir;
using vektest::WriteFile;

std::u16string W(const std::string& s) { return DaxUtf8ToUnicode(s); }

void SetMtime(const std::string& path, time_t sec) {
  timespec t[2] = {{sec, 0}, {sec, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
}

struct Lookup {
  const char* host;
  int port;
  const char* network;
  const char* expect;  // nullptr: no entry
};

void ExpectLookups(TVEKConnectSounds& table, const std::vector<Lookup>& lookups) {
  for (const Lookup& l : lookups) {
    std::u16string file = u"unchanged";
    bool found = table.FindSound(W(l.host), l.port, W(l.network), file);
    if (l.expect == nullptr) {
      EXPECT_FALSE(found) << l.host << ":" << l.port << " " << l.network;
      EXPECT_EQ(file, u"unchanged");
    } else {
      EXPECT_TRUE(found) << l.host << ":" << l.port << " " << l.network;
      EXPECT_EQ(file, W(l.expect)) << l.host << ":" << l.port << " " << l.network;
    }
  }
}

TEST(ConnectSounds, LinesAndMatchingRules) {
  TempDir dir;
  std::string path = dir / "connsounds.cfg";
  WriteFile(path,
            "\xEF\xBB\xBFhost.one|5200|NET|first.wav\n"
            "# host.one|0||comment.wav\n"
            "; also a comment\n"
            "\xEF\xBB\xBF" "bom.again|0||not-first-line.wav\n"
            "host.one|5200|NET|second-match.wav\n"
            "  |0|FREE|conn.wav|extra|fields  \r\n"
            "short|1|only-three-fields.wav\n"
            "bad.port|70000||bad.wav\n"
            "bad.port|x||bad.wav\n"
            "empty.file|0|| \n"
            "\n"
            "any.port| |\xD0\x9C\xD0\x98\xD0\xA0|mir.wav\n"
            "Mixed.Case|0|Net2|mixed.wav\n");
  TVEKConnectSounds table(W(path));
  std::vector<std::u16string> errors;
  table.OnConnectSoundError = [&](const std::u16string& e) { errors.push_back(e); };

  ExpectLookups(table, {
                           // The BOM is gone from the first line; the earlier line wins.
                           {"HOST.ONE", 5200, "NET", "first.wav"},
                           {"host.one", 5200, "net", "first.wav"},
                           {"host.one", 5201, "NET", nullptr},
                           // Empty host and port 0 match anything on that network.
                           {"any.where", 1, "FREE", "conn.wav"},
                           {"x", 65535, "free", "conn.wav"},
                           {"x", 1, "PAID", nullptr},
                           // A BOM after line 1 stays part of the host.
                           {"bom.again", 1, "N", nullptr},
                           {"short", 1, "only-three-fields.wav", nullptr},
                           {"bad.port", 4464, "N", nullptr},
                           {"empty.file", 1, "N", nullptr},
                           // An empty port matches any port; network compared as written.
                           {"any.port", 17, "\xD0\x9C\xD0\x98\xD0\xA0", "mir.wav"},
                           {"MIXED.case", 9, "NET2", "mixed.wav"},
                       });
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(table.Sounds().size(), 6u);
}

TEST(ConnectSounds, ReloadsOnlyWhenTheModificationTimeChanges) {
  TempDir dir;
  std::string path = dir / "t.cfg";
  WriteFile(path, "|0||old.wav\n");
  SetMtime(path, 1000000);
  TVEKConnectSounds table(W(path));
  std::vector<std::u16string> errors;
  table.OnConnectSoundError = [&](const std::u16string& e) { errors.push_back(e); };
  ExpectLookups(table, {{"h", 1, "n", "old.wav"}});

  // New content under the old time is not seen.
  WriteFile(path, "|0||new.wav\n");
  SetMtime(path, 1000000);
  ExpectLookups(table, {{"h", 1, "n", "old.wav"}});

  SetMtime(path, 1000001);
  ExpectLookups(table, {{"h", 1, "n", "new.wav"}});
  EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : std::string(errors[0].begin(), errors[0].end()));
}

TEST(ConnectSounds, MissingFileOrDirectoryReportsOncePerLookup) {
  TempDir dir;
  std::vector<std::u16string> errors;
  std::string missing = dir / "none.cfg";
  TVEKConnectSounds table(W(missing));
  table.OnConnectSoundError = [&](const std::u16string& e) { errors.push_back(e); };
  std::u16string file;
  EXPECT_FALSE(table.FindSound(u"h", 1, u"n", file));
  EXPECT_FALSE(table.FindSound(u"h", 1, u"n", file));
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], W("error [2] of opening file \"" + missing + "\": No such file or directory"));

  // A directory in its place is error 2 as well.
  mkdir(missing.c_str(), 0755);
  EXPECT_FALSE(table.FindSound(u"h", 1, u"n", file));
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[2], errors[0]);

  // So is a named pipe, which must not block the lookup in open. A failing
  // run is released by a late writer.
  rmdir(missing.c_str());
  ASSERT_EQ(mkfifo(missing.c_str(), 0644), 0);
  {
    std::atomic<bool> done{false};
    std::thread release([&] {
      for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      int fd = ::open(missing.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
    });
    EXPECT_FALSE(table.FindSound(u"h", 1, u"n", file));
    done = true;
    release.join();
  }
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors[3], errors[0]);
  unlink(missing.c_str());

  // Once loaded, a vanished file keeps the table as it was.
  WriteFile(missing, "|0||kept.wav\n");
  EXPECT_TRUE(table.FindSound(u"h", 1, u"n", file));
  unlink(missing.c_str());
  file.clear();
  EXPECT_TRUE(table.FindSound(u"h", 1, u"n", file));
  EXPECT_EQ(file, u"kept.wav");
  EXPECT_EQ(errors.size(), 5u);
}

TEST(ConnectSounds, PathFromTheSetting) {
  EXPECT_EQ(VekConnectSoundsPath(u"", u"/opt/vek"), u"/opt/vek/connsounds.cfg");
  EXPECT_EQ(VekConnectSoundsPath(u"etc/t.cfg//", u"/opt/vek"), u"/opt/vek/etc/t.cfg");
  EXPECT_EQ(VekConnectSoundsPath(u"/abs/t.cfg", u"/opt/vek"), u"/abs/t.cfg");
}

}  // namespace
