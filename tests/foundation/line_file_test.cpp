#include "foundation/line_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "foundation/fileutils.h"
#include "support/test_files.h"

namespace {

using vektest::ReadFile;
using vektest::TempDir;
using vektest::WriteFile;

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

TEST(LineFile, ReadsEveryLineEndAndDropsALeadingByteOrderMark) {
  TempDir dir;
  const std::string file = dir / "lines.dat";
  const struct {
    const char* bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"\xEF\xBB\xBF" "a|1\r\nb|2\r\n", {"a|1", "b|2"}},
      {"a\nb\rc\r\nd", {"a", "b", "c", "d"}},
      {"a\n\nb\n", {"a", "", "b"}},
      // Only the file's first three bytes can be a mark.
      {"\xEF\xBB\xBF\xEF\xBB\xBF" "a\n\xEF\xBB\xBF" "b\n", {"\xEF\xBB\xBF" "a", "\xEF\xBB\xBF" "b"}},
      {"\xEF\xBB" "a\n", {"\xEF\xBB" "a"}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    WriteFile(file, c.bytes);
    std::vector<std::string> lines{"stale"};
    EXPECT_TRUE(VekReadFileLines(file, lines));
    EXPECT_EQ(lines, c.lines);
  }
  std::vector<std::string> lines{"stale"};
  EXPECT_FALSE(VekReadFileLines(dir / "none.dat", lines));
  EXPECT_TRUE(lines.empty());
}

TEST(LineFile, WritesPrivateFilesAndReplacesThemPrivately) {
  TempDir dir;
  const std::string file = dir / "private.dat";
  VekWritePrivateFile(file, "a|b\r\n");
  EXPECT_EQ(ReadFile(file), "a|b\r\n");
  EXPECT_EQ(ModeOf(file), 0600u);
  VekReplaceFileWith(file, [](const std::string& path) { VekWritePrivateFile(path, "c\r\n"); });
  EXPECT_EQ(ReadFile(file), "c\r\n");
  EXPECT_EQ(ModeOf(file), 0600u);
  // A failing writer leaves the old file as it was.
  EXPECT_THROW(VekReplaceFileWith(file,
                                  [](const std::string& path) {
                                    VekWritePrivateFile(path, "half");
                                    throw EFileException("writer failed");
                                  }),
               EFileException);
  EXPECT_EQ(ReadFile(file), "c\r\n");
  EXPECT_THROW(VekWritePrivateFile(dir / "missing/dir/file.dat", ""), EFileException);
}

TEST(LineFile, ReplacementAcrossFilesystemsStaysPrivate) {
  // The replacement is written under TEMP; on another filesystem it is
  // copied, and the copy must stay private too.
  struct stat shm {};
  if (::stat("/dev/shm", &shm) != 0) GTEST_SKIP() << "no /dev/shm";
  TempDir temp("/dev/shm");
  ASSERT_FALSE(temp.path().empty());
  const char* old = ::getenv("TEMP");
  const std::string saved = old ? old : "";
  ::setenv("TEMP", temp.path().c_str(), 1);
  TempDir dir;
  const std::string file = dir / "private.dat";
  for (const char* data : {"p1\r\n", "p2\r\n"})
    VekReplaceFileWith(file, [&](const std::string& path) { VekWritePrivateFile(path, data); });
  old ? ::setenv("TEMP", saved.c_str(), 1) : ::unsetenv("TEMP");
  EXPECT_EQ(ModeOf(file), 0600u);
  EXPECT_EQ(ReadFile(file), "p2\r\n");
}

TEST(LineFile, ValuesThatWouldSplitALineAreRefused) {
  const struct {
    const char16_t* text;
    bool refused;
  } cases[] = {
      {u"pw|extra", true},       {u"pw\r\nb@x|srv|stolen|2099", true},
      {u"pw\n", true},           {u"evil\rx", true},
      {u"|", true},              {u"", false},
      {u"plain \u00e9 ;#", false}, {u"tab\tand\u2028", false},
  };
  for (const auto& c : cases) {
    const std::u16string text = c.text;
    SCOPED_TRACE(std::string(text.begin(), text.end()));
    EXPECT_EQ(VekHasLineBreakingChar(text), c.refused);
    if (!c.refused) {
      EXPECT_NO_THROW(VekCheckStorableValue(text, "direct.dat"));
      continue;
    }
    try {
      VekCheckStorableValue(text, "direct.dat");
      ADD_FAILURE() << "no exception";
    } catch (const EFileException& e) {
      EXPECT_NE(std::string(e.what()).find("direct.dat"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
