// Tests of the log writer, the event log and the dump logger.
#include "host/LogWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/EventLog.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::ScopedConfig;
using Knob = hostconfig::Knob;
using testsupport::ScopedLogCapture;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class LogWriterTest : public ::testing::Test {
 protected:
  LogWriterTest()
      : config_({{Knob::kLogFile, dir_.file("agent.log")},
                 {Knob::kLogLevel, ""},
                 {Knob::kLogDir, ""}}) {}

  testsupport::TempDir dir_;
  ScopedConfig config_;
};

TEST_F(LogWriterTest, DefaultWriterLineCarriesTimeIdsLevelTagAndLine) {
  auto writer = MakeDefaultLogWriter();
  writer->Write(-1, "int StaticCache::fastload(const string&, bool, bool)", 42, 0, 0,
                "loaded %d rows from %s", 7, "GUIDDB.DAT");
  const std::string text = ReadFile(dir_.file("agent.log"));
  // "YYYY-MM-DD hh:mm:ss.mmm pid=P tid=T L-1 [tag:42] message\n"
  int year = 0, month = 0, day = 0, hour = -1, minute = -1, second = -1, milli = -1, used = 0;
  long pid = 0, tid = 0;
  ASSERT_EQ(sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d pid=%ld tid=%ld %n", &year, &month,
                   &day, &hour, &minute, &second, &milli, &pid, &tid, &used),
            9)
      << text;
  EXPECT_EQ(text[4], '-');
  EXPECT_EQ(text.substr(19, 1), ".");
  EXPECT_EQ(text.substr(23, 5), " pid=");
  EXPECT_GE(year, 2000);
  EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour >= 0 && hour < 24 &&
              minute >= 0 && minute < 60 && second >= 0 && second <= 60 && milli >= 0 &&
              milli < 1000)
      << text;
  EXPECT_EQ(pid, static_cast<long>(getpid()));
  EXPECT_GT(tid, 0);
  EXPECT_EQ(text.substr(static_cast<size_t>(used)),
            "L-1 [int StaticCache::fastload(const string&, bool, bool):42] "
            "loaded 7 rows from GUIDDB.DAT\n");
}

TEST_F(LogWriterTest, LevelComesFromEnvironmentWithDefaultForGarbage) {
  struct Case {
    const char* text;
    int level;
  } cases[] = {{nullptr, 1}, {"", 1},   {"7", 7},           {"-1", -1}, {"0", 0},
               {"abc", 1},   {"5x", 1}, {"99999999999", 1}, {" ", 1}};
  for (const auto& c : cases) {
    ScopedConfig level(Knob::kLogLevel, c.text ? c.text : "");
    EXPECT_EQ(MakeDefaultLogWriter()->GetLevel(), c.level) << (c.text ? c.text : "(unset)");
  }
}

TEST_F(LogWriterTest, LongMessagesAreWrittenWhole) {
  const std::string payload(20000, 'q');
  auto writer = MakeDefaultLogWriter();
  writer->Write(1, "tag", 1, 0, 0, "<%s>", payload.c_str());
  const std::string text = ReadFile(dir_.file("agent.log"));
  EXPECT_NE(text.find("[tag:1] <" + payload + ">\n"), std::string::npos) << text.size();

  ScopedLogCapture capture;
  HXLOG(1, "tag", "%s|%d", payload.c_str(), 5);
  ASSERT_EQ(capture->lines().size(), 1u);
  EXPECT_EQ(capture->lines()[0].message, payload + "|5");
}

TEST_F(LogWriterTest, HxlogGatesByTheWritersLevel) {
  ScopedLogCapture capture(2);
  HXLOG(3, "tag", "too fine");
  HXLOG(2, "tag", "detail %d", 2);
  const int expectedLine = __LINE__ + 1;
  HXLOG(-1, "bool CHXGuidLookups::UpdateGUIDDB(CGuidDB&)", "milestone");
  auto lines = capture->lines();
  ASSERT_EQ(lines.size(), 2u) << capture->dump();
  EXPECT_EQ(lines[0].message, "detail 2");
  EXPECT_EQ(lines[1].level, -1);
  EXPECT_EQ(lines[1].tag, "bool CHXGuidLookups::UpdateGUIDDB(CGuidDB&)");
  EXPECT_EQ(lines[1].line, expectedLine);
}

TEST_F(LogWriterTest, NullWriterSilencesAndPreviousWriterComesBack) {
  auto before = GetLogWriter();
  {
    ScopedLogCapture capture;
    SetLogWriter(nullptr);
    EXPECT_EQ(GetLogWriter(), nullptr);
    HXLOG(-1, "tag", "dropped");  // must neither crash nor bring the default back
    EvEvent local;
    local.DebugLvl("Open", 1, "dropped too");
    EXPECT_EQ(GetLogWriter(), nullptr);
    EXPECT_TRUE(capture->lines().empty());
  }
  EXPECT_EQ(GetLogWriter(), before);
}

TEST_F(LogWriterTest, UnopenableLogFileFallsBackToStandardError) {
  ScopedConfig bad(Knob::kLogFile, dir_.path() + "/missing/agent.log");
  // Redirect fd 2 into a file for the duration of the write.
  int saved = dup(STDERR_FILENO);
  int capture = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(capture, 0);
  dup2(capture, STDERR_FILENO);
  {
    auto writer = MakeDefaultLogWriter();
    writer->Write(-1, "tag", 3, 0, 0, "still logged");
  }
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(capture);
  const std::string text = ReadFile(dir_.file("stderr"));
  EXPECT_NE(text.find("cannot open log file '" + dir_.path() + "/missing/agent.log'"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[tag:3] still logged\n"), std::string::npos) << text;
}

TEST_F(LogWriterTest, LogFileDescriptorIsCloseOnExec) {
  auto writer = MakeDefaultLogWriter();
  const std::string target = dir_.file("agent.log");
  std::vector<int> fds = testsupport::DescriptorsOn(target);
  EXPECT_FALSE(fds.empty());
  for (int fd : fds) {
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "fd " << fd;
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_APPEND) << "fd " << fd;
  }
}

TEST_F(LogWriterTest, ConcurrentWritersKeepEveryLineIntact) {
  // Lines longer than a stdio buffer, so that a writer that split a line into
  // several writes would interleave them.
  auto writer = MakeDefaultLogWriter();
  const int kThreads = 8, kLines = 500;
  const std::string pad(5000, '.');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        writer->Write(1, "tag", t, 0, 0, "begin %d:%d %s end %d:%d", t, i, pad.c_str(), t, i);
    });
  }
  for (auto& th : threads) th.join();

  // Each line must be exactly one call's text: "... L1 [tag:T] begin T:I <pad> end T:I".
  std::set<std::pair<int, int>> seen;
  int bad = 0;
  for (const std::string& line : Lines(ReadFile(dir_.file("agent.log")))) {
    size_t at = line.find(" L1 [tag:");
    int tagT = -1, t = -2, i = -3, endT = -4, endI = -5, used = 0;
    if (at == std::string::npos ||
        sscanf(line.c_str() + at, " L1 [tag:%d] begin %d:%d %n", &tagT, &t, &i, &used) != 3) {
      ++bad;
      continue;
    }
    size_t rest = at + static_cast<size_t>(used);
    if (line.compare(rest, pad.size(), pad) != 0 ||
        sscanf(line.c_str() + rest + pad.size(), " end %d:%d%n", &endT, &endI, &used) != 2 ||
        rest + pad.size() + static_cast<size_t>(used) != line.size() || tagT != t || endT != t ||
        endI != i) {
      ++bad;
      continue;
    }
    seen.emplace(t, i);
  }
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST_F(LogWriterTest, ConcurrentWriterReplacementLosesNoLine) {
  // Lines logged while another thread swaps writers land on one of them,
  // whole; a torn shared_ptr read would crash or lose lines.
  auto first = std::make_shared<testsupport::CapturingLogWriter>(7);
  auto second = std::make_shared<testsupport::CapturingLogWriter>(7);
  auto previous = GetLogWriter();
  SetLogWriter(first);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (int i = 0; !stop.load(); ++i) SetLogWriter(i % 2 ? first : second);
  });
  const int kLines = 2000;
  for (int i = 0; i < kLines; ++i) HXLOG(1, "tag", "line %d", i);
  stop = true;
  swapper.join();
  SetLogWriter(previous);
  EXPECT_EQ(first->lines().size() + second->lines().size(), static_cast<size_t>(kLines));
}

// --- Event log and dump logger ----------------------------------------------

TEST_F(LogWriterTest, DebugLvlUsesTheCurrentWriterWithShortTag) {
  ScopedLogCapture capture(1);
  EvEvent log;
  log.DebugLvl("Open", 1, "Opened %s", "GUIDDB.DAT");
  log.DebugLvl("commit", 2, "hidden at level 1");
  auto lines = capture->lines();
  ASSERT_EQ(lines.size(), 1u) << capture->dump();
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].tag, "Open");
  EXPECT_EQ(lines[0].message, "Opened GUIDDB.DAT");
}

TEST_F(LogWriterTest, DumpLogWritesBareLinesIntoLogFolder) {
  ScopedConfig dir(Knob::kLogDir, dir_.path());
  const std::string longLine(20000, 'g');
  const uint32_t id = EvDebug::getLogId("CIDumpCache");
  EXPECT_NE(id, 0u);
  EXPECT_EQ(EvDebug::getLogId("CIDumpCache"), id);
  EXPECT_NE(EvDebug::getLogId("SomeOtherLog"), id);
  EvDebugFileInstance instance;
  {
    EvDebug dump(nullptr);
    EXPECT_EQ(dump.IsInitialized(), 0);
    ASSERT_TRUE(dump.initialize(&instance, id, 0, false, ""));
    EXPECT_NE(dump.IsInitialized(), 0);
    EXPECT_EQ(dump.filePath(), dir_.file("CIDumpCache.log"));
    dump.Debug("", "%s", "{guid-1} a@x.example:2 b@x.example:0");
    dump.Debug("", "%s", longLine.c_str());
  }  // closing flushes
  EXPECT_EQ(instance.fileName, dir_.file("CIDumpCache.log"));
  EXPECT_EQ(ReadFile(dir_.file("CIDumpCache.log")),
            "{guid-1} a@x.example:2 b@x.example:0\n" + longLine + "\n");
  EXPECT_TRUE(ReadFile(dir_.file("agent.log")).empty());
}

TEST_F(LogWriterTest, DumpLogFolderFollowsLogFileWhenNoLogDir) {
  EvDebug dump;
  ASSERT_TRUE(dump.initialize(nullptr, EvDebug::getLogId("CIDumpCache"), 0, false, ""));
  EXPECT_EQ(dump.filePath(), dir_.file("CIDumpCache.log"));
}

TEST_F(LogWriterTest, DumpLogWithoutFolderFailsAndDropsLines) {
  ScopedConfig noFile(Knob::kLogFile, "");
  ScopedLogCapture capture;
  EvDebug dump;
  EXPECT_FALSE(dump.initialize(nullptr, EvDebug::getLogId("CIDumpCache"), 0, false, ""));
  EXPECT_EQ(dump.IsInitialized(), 0);
  EXPECT_EQ(dump.filePath(), "");
  dump.Debug("", "%s", "nowhere to go");

  ScopedConfig missing(Knob::kLogDir, dir_.path() + "/missing");
  EXPECT_FALSE(dump.initialize(nullptr, EvDebug::getLogId("CIDumpCache"), 0, false, ""));
  EXPECT_EQ(capture->count("Cannot open dump log file " + dir_.path() + "/missing/CIDumpCache.log"),
            1)
      << capture->dump();
  // An id that no name was registered for.
  EXPECT_FALSE(dump.initialize(nullptr, 0, 0, false, ""));
  EXPECT_FALSE(dump.initialize(nullptr, 0xFFFFFFF0u, 0, false, ""));
}

TEST_F(LogWriterTest, ResetsHoldNoExtraDescriptorAndFollowARotation) {
  auto before = GetLogWriter();
  ResetDefaultLogWriter();
  const int open = testsupport::OpenDescriptorCount();
  for (int i = 0; i < 1000; ++i) ResetDefaultLogWriter();
  EXPECT_EQ(testsupport::OpenDescriptorCount(), open);
  EXPECT_EQ(testsupport::DescriptorsOn(dir_.file("agent.log")).size(), 1u);

  HXLOG(-1, "tag", "before the rotation");
  ASSERT_EQ(rename(dir_.file("agent.log").c_str(), dir_.file("agent.log.1").c_str()), 0);
  ResetDefaultLogWriter();
  HXLOG(-1, "tag", "after the rotation");
  EXPECT_EQ(testsupport::OpenDescriptorCount(), open);
  const std::string old = ReadFile(dir_.file("agent.log.1"));
  const std::string fresh = ReadFile(dir_.file("agent.log"));
  EXPECT_EQ(Lines(old).size(), 1u) << old;
  EXPECT_NE(old.find("before the rotation"), std::string::npos) << old;
  EXPECT_EQ(Lines(fresh).size(), 1u) << fresh;
  EXPECT_NE(fresh.find("after the rotation"), std::string::npos) << fresh;

  // A reset also picks up a new level, and standard error when the file
  // variable is gone, still without a new descriptor.
  ScopedConfig level(Knob::kLogLevel, "5");
  ScopedConfig noFile(Knob::kLogFile, "");
  ResetDefaultLogWriter();
  EXPECT_EQ(CurrentLogWriter()->GetLevel(), 5);
  EXPECT_EQ(testsupport::OpenDescriptorCount(), open);
  SetLogWriter(before);
}

}  // namespace
