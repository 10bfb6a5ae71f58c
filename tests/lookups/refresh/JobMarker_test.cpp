// The job marker: its text rules, the file reader and the atomic writer.
#include "lookups/refresh/JobMarker.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

class JobMarkerTest : public ::testing::Test {
 protected:
  TempDir dir;
  const std::string marker = dir.file("GUIDDB.JOB");
};

TEST_F(JobMarkerTest, ParsesOnlyADecimalNumberWithBlanksAround) {
  unsigned long id = 7;
  EXPECT_TRUE(ParseJobMarker("0", id));
  EXPECT_EQ(0ul, id);
  EXPECT_TRUE(ParseJobMarker(" \t18446744073709551615\r\n", id));
  EXPECT_EQ(18446744073709551615ul, id);
  for (const char* text : {"", " \n", "-5", "+5", "5x", "5 6", "0x5", "\x05", "5\v",
                           "18446744073709551616", "99999999999999999999999"}) {
    id = 7;
    EXPECT_FALSE(ParseJobMarker(text, id)) << "[" << text << "]";
    EXPECT_EQ(7ul, id) << "[" << text << "]";
  }
  // An embedded NUL is not a blank.
  EXPECT_FALSE(ParseJobMarker(std::string("42\0", 3), id));
  // Nothing longer than a marker can be, whatever it holds.
  EXPECT_FALSE(ParseJobMarker(std::string(4096, ' ') + "1", id));
  EXPECT_TRUE(ParseJobMarker(std::string(4095, ' ') + "1", id));
}

TEST_F(JobMarkerTest, ReaderAppliesTheSameRulesToTheFile) {
  unsigned long id = 7;
  EXPECT_FALSE(ReadJobMarker(marker, id)) << "missing";
  EXPECT_FALSE(ReadJobMarker("", id)) << "no path";
  EXPECT_FALSE(ReadJobMarker(dir.path(), id)) << "a folder";
  WriteFile(marker, "42 and then some");
  EXPECT_FALSE(ReadJobMarker(marker, id));
  EXPECT_EQ(7ul, id);
  WriteFile(marker, std::string(5000, ' ') + "1");
  EXPECT_FALSE(ReadJobMarker(marker, id)) << "too long";
  WriteFile(marker, " 42\n");
  EXPECT_TRUE(ReadJobMarker(marker, id));
  EXPECT_EQ(42ul, id);
}

TEST_F(JobMarkerTest, WriterReplacesTheMarkerAndLeavesNoTemporaryFile) {
  WriteFile(marker, "garbage that is longer than the new marker");
  EXPECT_TRUE(WriteJobMarker(marker, 18446744073709551615ull));
  EXPECT_EQ("18446744073709551615", ReadFile(marker));
  unsigned long id = 0;
  EXPECT_TRUE(ReadJobMarker(marker, id));
  EXPECT_EQ(18446744073709551615ul, id);

  // A folder in the marker's place cannot be renamed over.
  const std::string blocked = dir.file("blocked");
  ASSERT_EQ(0, mkdir(blocked.c_str(), 0755));
  EXPECT_FALSE(WriteJobMarker(blocked, 5));
  EXPECT_FALSE(WriteJobMarker(dir.file("no-such-folder/GUIDDB.JOB"), 5));
  EXPECT_FALSE(WriteJobMarker("", 5));

  int entries = 0;
  DIR* d = opendir(dir.path().c_str());
  ASSERT_NE(nullptr, d);
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++entries;
  closedir(d);
  EXPECT_EQ(2, entries) << "only the marker and the folder";
}

}  // namespace
