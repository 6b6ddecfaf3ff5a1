// The operator's documents stay true to the program: the configuration
// reference names exactly the keys the reader reads, each under its section,
// and the shipped service files pass their tools' own checks.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/config_reader.h"
#include "foundation/charset.h"
#include "support/child_process.h"
#include "support/test_files.h"

namespace {

using TKeySet = std::set<std::pair<std::string, std::string>>;

std::string SourceFile(const std::string& name) {
  std::ifstream in(std::string(VEK_SOURCE_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every `name` of a text, in order.
std::vector<std::string> BacktickedNames(const std::string& text) {
  std::vector<std::string> names;
  for (size_t open = text.find('`'); open != std::string::npos;) {
    const size_t close = text.find('`', open + 1);
    if (close == std::string::npos) break;
    names.push_back(text.substr(open + 1, close - open - 1));
    open = text.find('`', close + 1);
  }
  return names;
}

// The keys a reference documents: a "## `[Section]`" heading opens a
// section (any other "## " heading closes it), and each table row whose
// first cell names keys in backticks documents them there.
TKeySet DocumentedKeys(const std::string& text, std::set<std::string>& sections) {
  TKeySet keys;
  std::string section;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("## ", 0) == 0) {
      const std::vector<std::string> names = BacktickedNames(line);
      const bool named = names.size() == 1 && names[0].size() > 2 && names[0].front() == '[' &&
                         names[0].back() == ']';
      section = named ? names[0].substr(1, names[0].size() - 2) : "";
      if (!section.empty()) sections.insert(section);
      continue;
    }
    if (section.empty() || line.rfind("| `", 0) != 0) continue;
    for (const std::string& key : BacktickedNames(line.substr(1, line.find('|', 1) - 1)))
      keys.insert({section, key});
  }
  return keys;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TKeySet ReaderKeys() {
  TKeySet keys;
  for (const TVEKConfigKey& k : VekConfigKeys())
    keys.insert({DaxUnicodeToUtf8(k.Section), DaxUnicodeToUtf8(k.Key)});
  return keys;
}

std::string Listed(const TKeySet& keys) {
  std::string text;
  for (const auto& [section, key] : keys) text += "  [" + section + "] " + key + "\n";
  return text;
}

TEST(ConfigReference, NamesEveryKeyTheReaderReadsAndNoOther) {
  const std::string doc = SourceFile("docs/configuration.md");
  ASSERT_FALSE(doc.empty()) << "docs/configuration.md not found";
  std::set<std::string> sections;
  const TKeySet documented = DocumentedKeys(doc, sections);
  const TKeySet read = ReaderKeys();
  ASSERT_GT(read.size(), 150u);  // the whole reader, not a part of it

  TKeySet missing, stale;
  for (const auto& k : read)
    if (!documented.count(k)) missing.insert(k);
  for (const auto& k : documented)
    if (!read.count(k)) stale.insert(k);
  EXPECT_TRUE(missing.empty()) << "read but not in docs/configuration.md:\n" << Listed(missing);
  EXPECT_TRUE(stale.empty()) << "in docs/configuration.md but not read:\n" << Listed(stale);

  std::set<std::string> read_sections;
  for (const auto& k : read) read_sections.insert(k.first);
  EXPECT_EQ(sections, read_sections);
}

// The reader's list comes from its reads: a key read twice is one entry,
// and the sections come in the order of the file's reference.
TEST(ConfigReference, ReaderKeysFollowTheReads) {
  const std::vector<TVEKConfigKey> keys = VekConfigKeys();
  ASSERT_FALSE(keys.empty());
  EXPECT_EQ(keys.front().Section, u"Auth");
  EXPECT_EQ(keys.front().Key, u"Callsign");
  EXPECT_EQ(keys.back().Section, u"Recorder");
  EXPECT_EQ(keys.back().Key, u"Script");
  const TKeySet read = ReaderKeys();
  EXPECT_TRUE(read.count({"Audio", "OutAGCThreshold"}));
  EXPECT_TRUE(read.count({"Sounds", "EnableServerEOT"}));
  EXPECT_TRUE(read.count({"Message", "PrivateAutoResponse"}));
}

// The shipped unit and rotation entry, pointed at this build and a scratch
// folder, pass systemd's and logrotate's own checks where the tools exist.
TEST(ServiceFiles, UnitPassesSystemdVerify) {
  if (vektest::RunShell("command -v systemd-analyze").exit_code != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  vektest::TempDir dir;
  std::string unit = SourceFile("examples/vekclient.service");
  ASSERT_FALSE(unit.empty());
  unit = ReplaceAll(unit, "/usr/local/bin/vekclient", std::string(VEK_BINARY_DIR) + "/app/vekclient");
  vektest::WriteFile(dir / "vekclient.service", unit);
  const vektest::ProcessResult verify =
      vektest::RunShell("systemd-analyze verify '" + dir / "vekclient.service" + "' 2>&1");
  EXPECT_EQ(verify.exit_code, 0) << verify.out;
}

TEST(ServiceFiles, RotationEntryPassesLogrotateDebug) {
  if (vektest::RunShell("command -v logrotate").exit_code != 0)
    GTEST_SKIP() << "logrotate is not installed";
  vektest::TempDir dir;
  std::string entry = SourceFile("examples/vekclient.logrotate");
  ASSERT_FALSE(entry.empty());
  entry = ReplaceAll(entry, "/var/log/vekclient/vekclient.log", dir / "vekclient.log");
  // The service's user does not exist here; the owner of the scratch
  // folder does.
  entry = ReplaceAll(entry, "su vekclient vekclient", "su root root");
  vektest::WriteFile(dir / "vekclient", entry);
  vektest::WriteFile(dir / "vekclient.log", "line\n");
  const vektest::ProcessResult debug = vektest::RunShell(
      "logrotate -d -f -s '" + dir / "state" + "' '" + dir / "vekclient" + "' 2>&1");
  ASSERT_EQ(debug.exit_code, 0) << debug.out;
  const std::string& text = debug.out;
  EXPECT_EQ(text.find("error:"), std::string::npos) << text;
  EXPECT_NE(text.find("running postrotate script"), std::string::npos) << text;
}

}  // namespace
