#include "engine/cli_backup_file.h"

#include <gtest/gtest.h>

#include "foundation/clock.h"
#include "foundation/fileutils.h"
#include "foundation/setup_data.h"
#include "support/test_files.h"
#include "support/thrown.h"

namespace {

using vektest::ReadFile;
using vektest::TempDir;
using vektest::WriteFile;

struct Fixture {
  TempDir dir;
  TVEKSystemParameters system;
  std::string file;
  Fixture() {
    system.WriteDir = std::u16string(dir.path().begin(), dir.path().end());
    system.BackupServersFileName = u"backupserver1.dat";
    file = dir / "backupserver1.dat";
  }
  bool Lookup(const std::u16string& host, int32_t port, std::u16string& backup, int32_t& bport) {
    return VekBackupFileLookup(system, host, port, backup, bport);
  }
};

TEST(BackupFile, ReadSkipsMalformedLinesAndMakesUpShortStamps) {
  Fixture fx;
  WriteFile(fx.file,
            "main.example|10024|backup.example|10025|20240101120000\r\n"
            "# comment|1|b|2|20240101120000\n"
            "; comment\n"
            "\n"
            "  spaced  | 1 | b1 |2|2024010112000\n"  // 13-character stamp
            "nostamp|1|b2|2\n"
            "few|1|b3\n"
            "|1|b4|2|20240101120000\n"
            "x|one|b5|2|20240101120000\n"
            "x|1|b6|2.5|20240101120000\n"
            "x|99999|b7|-1|20240101120000|extra\n"
            "caf\xC3\xA9|1|\xFF\xFE|2|20240101120000\n");
  TBackupServerArray recs;
  const std::string before = DaxDateTimeToStamp(DaxNowLocal());
  VekBackupFileRead(fx.file, recs);
  const std::string after = DaxDateTimeToStamp(DaxNowLocal());
  ASSERT_EQ(recs.size(), 5u);
  EXPECT_EQ(recs[0].MainAddress, u"main.example");
  EXPECT_EQ(recs[0].MainPort, 10024);
  EXPECT_EQ(recs[0].BackupAddress, u"backup.example");
  EXPECT_EQ(recs[0].BackupPort, 10025);
  EXPECT_EQ(recs[0].Timestamp, "20240101120000");
  EXPECT_EQ(recs[1].MainAddress, u"spaced");
  EXPECT_GE(recs[1].Timestamp, before);
  EXPECT_LE(recs[1].Timestamp, after);
  EXPECT_EQ(recs[2].BackupAddress, u"b2");
  EXPECT_EQ(recs[2].Timestamp.size(), 14u);
  // Ranges are not checked on reading.
  EXPECT_EQ(recs[3].MainPort, 99999);
  EXPECT_EQ(recs[3].BackupPort, -1);
  EXPECT_EQ(recs[4].MainAddress, u"caf\u00e9");
  // Invalid UTF-8 is kept byte for byte rather than lost.
  EXPECT_EQ(recs[4].BackupAddress, u"\u00ff\u00fe");
}

TEST(BackupFile, MissingFileAndOldLayoutGiveNothing) {
  Fixture fx;
  TBackupServerArray recs{{u"x", 1, u"y", 2, "20240101120000"}};
  VekBackupFileRead(fx.file, recs);
  EXPECT_TRUE(recs.empty());
  // The three-line layout of the old backupserver.dat is no record here.
  WriteFile(fx.file, "main.example:10024\r\nbackup.example\r\n10025\r\n");
  VekBackupFileRead(fx.file, recs);
  EXPECT_TRUE(recs.empty());
  std::u16string host = u"untouched";
  int32_t port = 7;
  EXPECT_FALSE(fx.Lookup(u"main.example", 10024, host, port));
  EXPECT_EQ(host, u"untouched");
  EXPECT_EQ(port, 7);
  // No file name configured: no look-up at all.
  fx.system.BackupServersFileName.clear();
  EXPECT_FALSE(fx.Lookup(u"main.example", 10024, host, port));
}

TEST(BackupFile, LookupPrefersThePortThenTheNewestOfTheHost) {
  Fixture fx;
  WriteFile(fx.file,
            "Main.Example|1|jan|11|20240115000000\r\n"
            "main.example|2|mar|12|20240315000000\r\n"
            "MAIN.EXAMPLE|3|feb|13|20240215000000\r\n"
            "main.example|4|mar2|14|20240315000000\r\n"
            "main.example|5|badport|70000|20250101000000\r\n"
            "main.example|0|badmain|15|20250101000000\r\n"
            "other|1|other|16|20260101000000\r\n");
  std::u16string host;
  int32_t port = 0;
  ASSERT_TRUE(fx.Lookup(u"MAIN.example", 3, host, port));
  EXPECT_EQ(host, u"feb");
  EXPECT_EQ(port, 13);
  // Another port: the newest of the host; of equal stamps the first; the
  // records with unusable ports are passed over although newer.
  ASSERT_TRUE(fx.Lookup(u"main.example", 10024, host, port));
  EXPECT_EQ(host, u"mar");
  EXPECT_EQ(port, 12);
  ASSERT_TRUE(fx.Lookup(u"main.example", 5, host, port));
  EXPECT_EQ(host, u"mar");
  // Only ASCII letters ignore case.
  WriteFile(fx.file, "\xC3\xA9t\xC3\xA9|1|b|2|20240101000000\r\n");
  EXPECT_TRUE(fx.Lookup(u"\u00e9T\u00e9", 1, host, port));
  EXPECT_FALSE(fx.Lookup(u"\u00c9t\u00e9", 1, host, port));
}

TEST(BackupFile, StoreReplacesExactMatchOrAppends) {
  Fixture fx;
  VekBackupFileStore(fx.system, u"main.example", u"b1.example", 10024, 10025);
  VekBackupFileStore(fx.system, u"main.example", u"b2.example", 10024, 10026);
  // Another spelling of the host is another record for Store...
  VekBackupFileStore(fx.system, u"MAIN.example", u"b3.example", 10024, 10027);
  VekBackupFileStore(fx.system, u"main.example", u"b4.example", 1, 2);
  TBackupServerArray recs;
  VekBackupFileRead(fx.file, recs);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0].BackupAddress, u"b2.example");
  EXPECT_EQ(recs[0].BackupPort, 10026);
  EXPECT_EQ(recs[1].MainAddress, u"MAIN.example");
  EXPECT_EQ(recs[2].MainPort, 1);
  const std::string text = ReadFile(fx.file);
  EXPECT_EQ(text.substr(0, 35), "main.example|10024|b2.example|10026");
  EXPECT_EQ(text.find("\r\n"), 50u);
  // ...while Lookup still finds the first one for its port.
  std::u16string host;
  int32_t port = 0;
  ASSERT_TRUE(fx.Lookup(u"main.EXAMPLE", 10024, host, port));
  EXPECT_EQ(host, u"b2.example");
}

TEST(BackupFile, HostThatWouldInjectALineIsRefused) {
  // Which values are refused: the line_file test.
  Fixture fx;
  VekBackupFileStore(fx.system, u"main.example", u"b1.example", 10024, 10025);
  const std::string before = ReadFile(fx.file);
  const char16_t* bad = u"evil\r\nx|1|y|2|";
  EXPECT_THROW(VekBackupFileStore(fx.system, u"main.example", bad, 10024, 10025), EFileException);
  EXPECT_THROW(VekBackupFileStore(fx.system, bad, u"b.example", 10024, 10025), EFileException);
  EXPECT_EQ(ReadFile(fx.file), before);
  EXPECT_THROW(VekBackupFileWrite(fx.dir / "direct.dat", {{u"a|b", 1, u"c", 2, "20240101000000"}}),
               EFileException);
  EXPECT_FALSE(vektest::Exists(fx.dir / "direct.dat"));
}

TEST(BackupFile, WriteFailureRaisesTheFileError) {
  Fixture fx;
  fx.system.WriteDir = u"/proc/no-such-dir";
  EXPECT_THROW(VekBackupFileStore(fx.system, u"m", u"b", 1, 2), Exception);
}

// [System] TempDir, when set, holds the rewrite's temporary area.
TEST(BackupFile, TheConfiguredTempDirHoldsTheStaging) {
  Fixture fx;
  fx.system.TempDir = u"/nonexistent/vek-temp";
  const std::string error = vektest::ThrownMessage([&] { VekBackupFileStore(fx.system, u"m", u"b", 1, 2); });
  EXPECT_NE(error.find("\"/nonexistent/vek-temp/.tmp$"), std::string::npos) << error;
  EXPECT_FALSE(vektest::Exists(fx.file));
}

}  // namespace
