// "register" against the fake system manager: exit 0 only when the manager
// confirmed the registration.
#include <gtest/gtest.h>

#include <memory>

#include "support/child_process.h"
#include "support/fake_manager.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"

namespace vektest {
namespace {

TEST(VekClientRegister, ExitCodeFollowsTheManagersAnswer) {
  struct Case {
    const char* what;
    ManagerReply reply;
    int code;
    const char* line;  // a log line that must appear
  };
  const Case cases[] = {
      {"OK", Answer("OK"), 0, "New static password was sent by email: tester@example.invalid"},
      {"NU", Answer("NU"), 7, "VEK System Manager error: "},
      {"NOK", Answer("NOK"), 7, "VEK System Manager error: "},
      {"junk", Answer("Pass1"), 7, "VEK System Manager error: "},
      {"close at once", Misbehave(ManagerAct::CloseAtOnce), 7, "VEK System Manager error: "},
      {"silent", Misbehave(ManagerAct::Silent), 7, "VEK System Manager error: "},
      // Last: no manager made later can take over its port.
      {"no listener", Answer("OK"), 7, "VEK System Manager error: "},
  };
  // All at once, each with its own manager and folder.
  struct Run {
    std::unique_ptr<TempDir> dir;
    std::unique_ptr<FakeManager> manager;
    std::unique_ptr<ChildProcess> child;
  };
  std::vector<Run> runs;
  for (const Case& c : cases) {
    Run run;
    run.dir = std::make_unique<TempDir>();
    run.manager = std::make_unique<FakeManager>(std::vector<ManagerReply>{c.reply});
    IniTable t = BaseConfig(run.dir->path());
    t["Manager"] = {{"DynamicPasswordMode", "NO"},
                    {"ManagerAddress", "127.0.0.1"},
                    {"ManagerPort", std::to_string(run.manager->Port())}};
    t["Internet"] = {{"ConnectTimeout", "1"}};
    t["Manager"]["Latency"] = "0";
    if (std::string(c.what) == "no listener") run.manager->Stop();
    WriteIni(*run.dir / "vek.cfg", t);
    run.child = std::make_unique<ChildProcess>(
        VekClientPath(), std::vector<std::string>{"register", *run.dir / "vek.cfg"});
    runs.push_back(std::move(run));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const ProcessResult r = runs[i].child->Wait();
    EXPECT_FALSE(r.timed_out) << cases[i].what;
    EXPECT_EQ(r.exit_code, cases[i].code) << cases[i].what << "\n" << r.out << r.err;
    const std::vector<std::string> lines = UnstampedLines(r.out);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.rfind(cases[i].line, 0) == 0; }))
        << cases[i].what << "\n" << r.out;
    if (cases[i].code == 0) {
      EXPECT_TRUE(std::find(lines.begin(), lines.end(), "CallsignOpname: TE5T, Tester") !=
                  lines.end())
          << r.out;
      ASSERT_EQ(runs[i].manager->Requests().size(), 1u);
    }
  }
}

TEST(VekClientRegister, EmptyManagerAddressContactsNobody) {
  TempDir dir;
  FakeManager manager({Answer("OK")});
  IniTable t = BaseConfig(dir.path());
  t["Manager"] = {{"DynamicPasswordMode", "NO"}, {"ManagerAddress", ""}};
  WriteIni(dir / "vek.cfg", t);
  const ProcessResult r = RunProcess(VekClientPath(), {"register", dir / "vek.cfg"});
  EXPECT_EQ(r.exit_code, 7) << r.out << r.err;
  const std::vector<std::string> lines = UnstampedLines(r.out);
  EXPECT_TRUE(std::find(lines.begin(), lines.end(), "Error: SystemManager address is empty") !=
              lines.end())
      << r.out;
  EXPECT_EQ(manager.Connections(), 0);
}

}  // namespace
}  // namespace vektest
