// The program's log as the operator meets it: a full disk under the log,
// a link planted at the log's name, and peers that send control bytes in
// the texts the log shows.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>

#include "support/case_name.h"
#include "support/child_process.h"
#include "support/fake_vek_server.h"
#include "support/proxy_peers.h"
#include "support/small_tmpfs.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"
#include "support/wait.h"

namespace vektest {
namespace {

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

FakeClient Client(const std::string& id, const std::string& name, const std::string& city) {
  FakeClient c;
  c.id = id;
  c.name = name;
  c.city = city;
  return c;
}

std::vector<int16_t> Tone(double hz, uint32_t ms) {
  std::vector<int16_t> pcm(ms * 8);
  for (size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * hz * static_cast<double>(i) / 8000));
  return pcm;
}

// Where a stamp "YYYY-MM-DD hh:mm:ss.zzz: " starts at or after `from`.
size_t FindStamp(const std::string& line, size_t from = 0) {
  static const std::string shape = "dddd-dd-dd dd:dd:dd.ddd: ";
  for (size_t p = from; p + shape.size() <= line.size(); ++p) {
    size_t i = 0;
    for (; i < shape.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(line[p + i]);
      if (shape[i] == 'd' ? std::isdigit(c) == 0 : c != shape[i]) break;
    }
    if (i == shape.size()) return p;
  }
  return std::string::npos;
}

HandshakeReply TestLogin() {
  HandshakeReply r;
  r.nt = "Test";
  r.id = "1";
  return r;
}

// A log on a small tmpfs that fills up while the station runs: receptions
// still key PTT and a carrier still transmits; the lines that met the full
// disk are dropped whole and counted, and once there is room again the log
// goes on with whole lines only.
TEST(VekClientLog, AFullDiskNeverStopsTheStation) {
  std::string why;
  std::unique_ptr<SmallTmpfs> fs = SmallTmpfs::Mount(256 * 1024, &why);
  if (!fs) GTEST_SKIP() << why;
  PacedSoundCard sound;
  TempDir dir;
  std::atomic<bool> filled{false};
  std::vector<FakeClient> many;
  for (int i = 1; i <= 200; ++i)
    many.push_back(Client(std::to_string(i), "MANY" + std::to_string(i), "Far"));
  Script script;
  script.Login(TestLogin())
      .SkipAcks(true)
      .Marker(0x83,
              ClientListTlvPayload({Client("1", "TEST1", "Here"), Client("2", "TEST2", "There")}))
      .KeepAlives(1000)
      .TxPolicy(TxMode::Approve, 100)
      .Call([&] { WaitUntil([&] { return filled.load(); }); })
      // More than the room left in the log's last page.
      .Marker(0x83, ClientListTlvPayload(many))
      .Talk(2, Tone(440, 1200))
      .Loop()
      .Sleep(5000);
  FakeVekServer server(script);
  IniTable table = BaseConfig(dir.path(), server.Port());
  table["Audio"] = PacedSoundCard::AudioSection();
  const std::string log = *fs / "vekclient.log";
  const std::string ptt = dir / "ptt", cos = dir / "cos";
  table["System"]["LogFile"] = log;
  for (const char* key : {"LogRx", "LogTx", "LogCarrier"}) table["System"][key] = "yes";
  table["System"]["LogClientList"] = "FULL";
  table["Radio"] = {{"PTT", "FILE:" + ptt + ":FILE"}, {"COS", "FILE:" + cos + ":FILE"}};
  WriteIni(dir / "vek.cfg", table);
  ChildProcess client(VekClientPath(), {"nostdout", dir / "vek.cfg"});
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(log).find("Client: ") != std::string::npos; }))
      << ReadFile(log);
  struct stat st {};
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);

  fs->Fill();
  filled = true;
  // The reception keys PTT and lets it go again.
  EXPECT_TRUE(WaitUntil([&] { return Exists(ptt); }));
  EXPECT_TRUE(WaitUntil([&] { return !Exists(ptt); }));
  // The carrier's voice reaches the server.
  WriteFile(cos, "");
  EXPECT_TRUE(server.WaitFor([](const std::vector<ClientItem>& items) {
    return std::any_of(items.begin(), items.end(),
                       [](const ClientItem& i) { return i.kind == ItemKind::TxPacket; });
  }));

  // With room again, the carrier's end is logged.
  fs->Unfill();
  ::unlink(cos.c_str());
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(log).find("Carrier OFF") != std::string::npos; }))
      << ReadFile(log);
  client.Signal(SIGINT);
  const ProcessResult r = client.Wait();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.err;

  const std::string text = ReadFile(log);
  const std::vector<std::string> raw = Lines(text);
  ASSERT_GT(raw.size(), 4u);
  EXPECT_EQ(text.back(), '\n');
  // Past the banner every line is one whole stamped line.
  for (size_t i = 4; i < raw.size(); ++i) {
    EXPECT_EQ(FindStamp(raw[i]), 0u) << raw[i];
    EXPECT_EQ(FindStamp(raw[i], 1), std::string::npos) << raw[i];
  }
  const std::vector<std::string> lines = UnstampedLines(text);
  // The large list went whole: its lines were counted, none of them kept.
  EXPECT_EQ(CountPrefix(lines, "Client: AV;;;;;MANY"), 0u);
  const std::string head = "Log: ", tail = " lines could not be written (No space left on device)";
  size_t counted = 0;
  for (const std::string& line : lines)
    if (line.rfind(head, 0) == 0 && line.size() > head.size() + tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
      counted += std::stoul(line.substr(head.size(), line.size() - head.size() - tail.size()));
  EXPECT_GE(counted, 201u) << text;
  EXPECT_EQ(lines.back(), "Aborted [SIGINT]");
}

// A folder every user may write to, with the sticky bit, holding the log;
// the user "nobody" plants a link at the log's name.
class VekClientLogLink : public ::testing::Test {
 protected:
  VekClientLogLink() : shared_(dir_ / "shared"), target_(dir_ / "target") {
    ::chmod(dir_.path().c_str(), 0755);
    ::mkdir(shared_.c_str(), 0755);
    ::chmod(shared_.c_str(), 01777);
    WriteFile(target_, "precious\n");
    ::chmod(target_.c_str(), 0644);
  }
  // False when no command can run as "nobody" here.
  bool PlantLink(const std::string& at) {
    return RunShell("runuser -u nobody -- ln -s '" + target_ + "' '" + at + "'").exit_code == 0;
  }

  TempDir dir_;
  const std::string shared_, target_;
};

TEST_F(VekClientLogLink, ALinkAtTheLogNameStopsTheStartAndLeavesItsTargetAlone) {
  const std::string log = shared_ + "/vekclient.log";
  if (!PlantLink(log)) GTEST_SKIP() << "cannot run a command as nobody";
  IniTable table = BaseConfig(dir_.path());
  table["System"]["LogFile"] = log;
  WriteIni(dir_ / "vek.cfg", table);
  const ProcessResult r = RunProcess(VekClientPath(), {"nostdout", dir_ / "vek.cfg"});
  EXPECT_EQ(r.exit_code, 6) << r.out << r.err;
  EXPECT_NE(r.out.find("of opening or creating file \"" + log + "\": not a regular file"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFile(target_), "precious\n");
  struct stat st {};
  ASSERT_EQ(::lstat(log.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// ---------------------------------------------------------------------------
// Texts from peers

// A terminal title, a bell and a carriage return: what the peers send.
const std::string kBad = "\x1b]0;owned\x07\rX";
// What the output shows of it.
const std::string kShown = "?]0;owned??X";

// One run of the program against the peers a case sets up.
struct PeerRun {
  TempDir dir;
  PacedSoundCard sound;
  IniTable table;
  std::unique_ptr<FakeVekServer> server, backup;
  std::unique_ptr<TcpPeer> peer;

  void UseServer(const Script& script) {
    server = std::make_unique<FakeVekServer>(script);
    table["Server"]["ServerPort"] = std::to_string(server->Port());
  }
};

// A login, then `marker` with the list `line` in it; the server stays.
Script LoginThenList(uint8_t marker, const std::string& payload) {
  Script s;
  s.Login(TestLogin()).SkipAcks(true).Marker(marker, payload).Loop().Sleep(5000);
  return s;
}

struct PeerTextCase {
  const char* name;
  // "debug" writes to standard output, "nostdout" to the log.
  const char* command;
  // Sets up peers and configuration; returns the text of the line to wait for.
  std::function<std::string(PeerRun&)> arrange;
  // Must hold the bad bytes (shown safe) in that line.
  bool shows_text;
};

const PeerTextCase kPeerTextCases[] = {
    {"malformed client list line", "nostdout",
     [](PeerRun& run) {
       run.UseServer(LoginThenList(0x83, Be16(0) + CountedLines({"Z" + kBad})));
       return std::string("Unknown client list format: ");
     },
     true},
    {"banned list with a broken field", "debug",
     [](PeerRun& run) {
       run.UseServer(LoginThenList(0x86, CountedLines({"022FF" + kBad})));
       return std::string("Invalid TLV: ");
     },
     true},
    {"backup server announcement", "debug",
     [](PeerRun& run) {
       HandshakeReply reply = TestLogin();
       reply.bn = "back" + kBad + "up";
       reply.bp = "5300";
       run.UseServer(StayingLoggedIn(reply));
       return std::string("VEK protocol is initiated");
     },
     false},
    {"HTTP proxy reason phrase", "debug",
     [](PeerRun& run) {
       run.peer = std::make_unique<TcpPeer>([](int fd) {
         ReadUntil(fd, "\r\n\r\n");
         WriteAll(fd, "HTTP/1.0 403 Forbidden " + kBad + "\r\n\r\n");
       });
       run.table["Internet"] = {{"ProxyType", "HTTP"},
                                {"ProxyAddress", "127.0.0.1"},
                                {"ProxyPort", std::to_string(run.peer->Port())}};
       run.table["Server"]["MainServerUseProxy"] = "yes";
       return std::string("Error of connecting to proxy-server: ");
     },
     true},
    {"server checker answer", "nostdout",
     [](PeerRun& run) {
       // The main server answers garbage, so the station moves to the
       // backup it remembers, and the checker quotes the main one.
       run.backup = std::make_unique<FakeVekServer>(StayingLoggedIn(TestLogin()));
       run.peer = std::make_unique<TcpPeer>([](int fd) {
         ReadUntil(fd, "\n");
         WriteAll(fd, kBad + "\r\n");
         ::shutdown(fd, SHUT_WR);
         ReadUntil(fd, "never");  // until the client has gone
       });
       const std::string main_port = std::to_string(run.peer->Port());
       run.table["Server"]["ServerPort"] = main_port;
       run.table["Server"]["ServerReconnectCount"] = "2";
       run.table["Server"]["ServerReconnectInterval"] = "3000";
       run.table["System"]["LogCheckServer"] = "yes";
       WriteFile(run.dir / "backupserver1.dat", "127.0.0.1|" + main_port + "|127.0.0.1|" +
                                                    std::to_string(run.backup->Port()) +
                                                    "|20260101000000\r\n");
       return std::string("Checking VEK server: MAIN: ");
     },
     true},
};

void PrintTo(const PeerTextCase& c, std::ostream* os) { *os << c.name; }

class VekClientPeerText : public ::testing::TestWithParam<PeerTextCase> {};

TEST_P(VekClientPeerText, NoControlByteReachesTheOutput) {
  const PeerTextCase& c = GetParam();
  PeerRun run;
  run.table = BaseConfig(run.dir.path());
  run.table["Audio"] = PacedSoundCard::AudioSection();
  const std::string needle = c.arrange(run);
  WriteIni(run.dir / "vek.cfg", run.table);
  const std::string log = run.dir / "vekclient.log";
  const bool to_log = std::string(c.command) == "nostdout";
  ChildProcess client(VekClientPath(), {c.command, run.dir / "vek.cfg"});
  auto output = [&] { return to_log ? ReadFile(log) : client.Out(); };
  EXPECT_TRUE(WaitUntil([&] { return output().find(needle) != std::string::npos; })) << output();
  client.Signal(SIGINT);
  const ProcessResult r = client.Wait();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::string text = to_log ? ReadFile(log) : r.out;
  for (char bad : {'\x1b', '\x07', '\r'})
    EXPECT_EQ(text.find(bad), std::string::npos) << static_cast<int>(bad) << "\n" << text;
  const std::vector<std::string> lines = UnstampedLines(text);
  const auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(needle) != std::string::npos;
  });
  ASSERT_NE(line, lines.end()) << text;
  EXPECT_EQ(CountPrefix(lines, "New Backup server: "), 0u);
  if (c.shows_text) {
    EXPECT_NE(line->find(kShown), std::string::npos) << *line;
  } else {
    // The announced host is refused: neither stored nor shown.
    EXPECT_EQ(text.find("owned"), std::string::npos) << text;
    EXPECT_FALSE(Exists(run.dir / "backupserver1.dat"));
  }
}

INSTANTIATE_TEST_SUITE_P(Routes, VekClientPeerText, ::testing::ValuesIn(kPeerTextCases), RowName());

}  // namespace
}  // namespace vektest
