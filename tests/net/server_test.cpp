#include "net/server.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Change {
  std::u16string main, backup;
  int32_t mainPort, backupPort;
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.SetMainServer(u"main.example.org", 10024);
    server.OnNewBackupServer = [this](const std::u16string& m, const std::u16string& b,
                                      int32_t mp, int32_t bp) {
      changes.push_back({m, b, mp, bp});
      // The handler may look at the entry: it is called outside the lock.
      seen = server.GetServers();
    };
  }
  TVEKServer server;
  std::vector<Change> changes;
  TVEKServerPair seen;
};

TEST_F(ServerTest, AnnouncedBackupIsStoredAndReported) {
  server.SetBackupServer(u"backup.example.org", 10025);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].main, u"main.example.org");
  EXPECT_EQ(changes[0].backup, u"backup.example.org");
  EXPECT_EQ(changes[0].mainPort, 10024);
  EXPECT_EQ(changes[0].backupPort, 10025);
  EXPECT_EQ(seen.BackupHost, u"backup.example.org");

  server.SetBackupServer(u"backup.example.org", 10025);  // the stored pair: nothing
  EXPECT_EQ(changes.size(), 1u);
  server.SetBackupServer(u"BACKUP.example.org", 10025);  // hosts compare exactly
  EXPECT_EQ(changes.size(), 2u);

  server.SetBackupServer(u"", 10025);  // empty host clears
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[2].backup, u"");
  EXPECT_EQ(changes[2].backupPort, 0);
  server.SetBackupServer(u"", 0);  // already clear
  EXPECT_EQ(changes.size(), 3u);
  server.SetBackupServer(u"x", 0);  // port 0 clears too, but it is clear already
  EXPECT_EQ(changes.size(), 3u);
  EXPECT_EQ(server.BackupHost(), u"");
}

TEST_F(ServerTest, NothingChangesWhileOnBackup) {
  server.SetBackup(u"old.example.org", 1);
  EXPECT_TRUE(changes.empty());  // the start-up value is not a change
  server.SetOnBackup(true);
  server.SetBackupServer(u"new.example.org", 2);
  server.SetBackupServer(u"", 0);
  EXPECT_TRUE(changes.empty());
  EXPECT_EQ(server.BackupHost(), u"old.example.org");
  server.SetOnBackup(false);
  server.SetBackupServer(u"new.example.org", 2);
  EXPECT_EQ(changes.size(), 1u);
}

TEST_F(ServerTest, ConfirmCopiesTheCurrentValues) {
  EXPECT_FALSE(server.GetConfirmation().Valid);
  server.SetBackup(u"b", 7);
  server.SetCharsetName(u"CP1251");
  server.Confirm(u"Net");
  server.SetMainServer(u"other", 1);
  const TVEKServerConfirmation c = server.GetConfirmation();
  EXPECT_TRUE(c.Valid);
  EXPECT_EQ(c.Network, u"Net");
  EXPECT_EQ(c.Servers.MainHost, u"main.example.org");
  EXPECT_EQ(c.Servers.BackupPort, 7);
  EXPECT_EQ(c.CharsetName, u"CP1251");
  EXPECT_GE(c.Time.Year, 2000);
  EXPECT_EQ(server.Network(), u"Net");

  server.SetMainUseProxy(1);
  const TVEKServerCheckTarget t = server.GetCheckTarget();
  EXPECT_EQ(t.MainHost, u"other");
  EXPECT_EQ(t.MainPort, 1);
  EXPECT_EQ(t.MainUseProxy, 1);
}

}  // namespace
