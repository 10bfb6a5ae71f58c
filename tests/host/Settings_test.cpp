// Tests of the INI settings store: reading, rewriting in place, and writers in
// several threads and processes.
#include "host/Settings.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::ScopedConfig;
using Knob = hostconfig::Knob;
using testsupport::ScopedLogCapture;
using testsupport::TempDir;
using testsupport::WriteFile;

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() : config_({{Knob::kSettingsDir, dir_.path()}, {Knob::kInstance, ""}}) {}

  std::string IniPath(const std::string& instance = "Instance001") const {
    return dir_.file(instance + ".ini");
  }

  // `name` of [EventManager] is found, and is `expected`.
  static void ExpectNumber(HXPlatformInfo& info, const char* name, unsigned long expected) {
    unsigned long value = 0;
    ASSERT_NE(info.getNumber("EventManager", name, &value), 0) << name;
    EXPECT_EQ(value, expected) << name;
  }

  // Files in the settings folder other than the ini files and their locks.
  std::vector<std::string> StrayFiles() const {
    std::vector<std::string> stray;
    DIR* d = opendir(dir_.path().c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      bool ini = name.size() > 4 && name.compare(name.size() - 4, 4, ".ini") == 0;
      bool lock = name.size() > 9 && name.compare(name.size() - 9, 9, ".ini.lock") == 0;
      if (!ini && !lock) stray.push_back(name);
    }
    if (d) closedir(d);
    return stray;
  }

  void TearDown() override { HXPlatformInfo::ClearOverlay(); }

  TempDir dir_;
  ScopedConfig config_;
};

TEST_F(SettingsTest, WithoutSettingsFolderNothingIsFoundOrWritten) {
  ScopedConfig unset(Knob::kSettingsDir, "");
  ScopedLogCapture log;
  HXPlatformInfo info;
  EXPECT_EQ(info.filePath(), "");
  unsigned long value = 77;
  EXPECT_EQ(info.getNumber("EventManager", "nX", &value), 0);
  EXPECT_EQ(value, 77u);
  EXPECT_EQ(info.setNumber("EventManager", "nX", 1), 0);
  EXPECT_GE(log->count("GUIDLOOKUPS_SETTINGS_DIR"), 1) << log->dump();
  EXPECT_EQ(info.getHXPlatformType(), 0u);
}

TEST_F(SettingsTest, MissingFileOrValueLeavesCallerDefault) {
  HXPlatformInfo info;
  std::string text = "preset";
  unsigned long number = 5;
  unsigned int small = 6;
  EXPECT_EQ(info.getString("vTaskHost", "dHOME", &text), 0);
  EXPECT_EQ(info.getNumber("EventManager", "n", &number), 0);
  EXPECT_EQ(info.getNumber("EventManager", "n", &small), 0);
  EXPECT_EQ(text, "preset");
  EXPECT_EQ(number, 5u);
  EXPECT_EQ(small, 6u);

  WriteFile(IniPath(), "[Base]\nother=1\n");
  EXPECT_EQ(info.getString("vTaskHost", "dHOME", &text), 0);
  EXPECT_EQ(info.getNumber("Base", "n", &number), 0);
  EXPECT_EQ(text, "preset");
}

// A reader can tell a value that is not there from a file that could not be
// read: only the second sets lastReadErrno.
TEST_F(SettingsTest, UnreadableFileIsToldApartFromAMissingValue) {
  HXPlatformInfo info;
  std::string text;
  unsigned long number = 0;
  EXPECT_EQ(info.getString("vTaskHost", "dHOME", &text), 0);
  EXPECT_EQ(info.lastReadErrno(), 0);
  ASSERT_EQ(mkdir(IniPath().c_str(), 0755), 0);
  EXPECT_EQ(info.getNumber("EventManager", "n", &number), 0);
  EXPECT_EQ(info.lastReadErrno(), EISDIR);
  EXPECT_EQ(info.lastReadError(), IniPath() + ": not a regular file");
  EXPECT_EQ(info.lastReadStatus().code(), Status::Code::kIOError);
  ASSERT_EQ(rmdir(IniPath().c_str()), 0);
  WriteFile(IniPath(), "[vTaskHost]\ndHOME=/h\n");
  EXPECT_EQ(info.getString("vTaskHost", "dHOME", &text), 1);
  EXPECT_TRUE(info.lastReadStatus().ok());
}

// The status of a read says why a value is not there, so that a caller needs
// no second read to tell a bad number from a missing one.
TEST_F(SettingsTest, ReadStatusTellsFoundMissingUnparseableAndUnreadable) {
  using hxsettings::kAddProxySmtp;
  using hxsettings::kDumpCache;
  using hxsettings::kHome;
  HXPlatformInfo info;
  unsigned long number = 7;
  std::string text = "untouched";
  EXPECT_EQ(info.readNumber(kDumpCache, &number, &text), SettingStatus::kMissing);
  WriteFile(IniPath(), "[EventManager]\nndumpcache=lots\nnaddproxysmtp=3\n");
  EXPECT_EQ(info.readNumber(kDumpCache, &number, &text), SettingStatus::kUnparseable);
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(text, "lots");
  EXPECT_EQ(info.readNumber(kAddProxySmtp, &number), SettingStatus::kFound);
  EXPECT_EQ(number, 3u);
  EXPECT_EQ(info.readString(kHome, &text), SettingStatus::kMissing);
  ASSERT_EQ(HXPlatformInfo::SetOverlay("vTaskHost", "dHOME", "/over"), 1);
  EXPECT_EQ(info.readString(kHome, &text), SettingStatus::kFound);
  EXPECT_EQ(text, "/over");

  ASSERT_EQ(unlink(IniPath().c_str()), 0);
  ASSERT_EQ(mkdir(IniPath().c_str(), 0755), 0);
  EXPECT_EQ(info.readNumber(kAddProxySmtp, &number), SettingStatus::kUnreadable);
  EXPECT_EQ(info.lastReadErrno(), EISDIR);
  std::vector<SettingsLine> lines(1);
  EXPECT_EQ(info.listFile(&lines), SettingStatus::kUnreadable);
  EXPECT_TRUE(lines.empty());
}

// The listing is the store's own reading of the file: the lines a reader
// sees, numbered as an editor shows them, comments and the overlay left out.
TEST_F(SettingsTest, ListFileGivesTheLinesAsTheStoreReadsThem) {
  HXPlatformInfo info;
  std::vector<SettingsLine> lines;
  EXPECT_EQ(info.listFile(&lines), SettingStatus::kMissing);
  WriteFile(IniPath(),
            "\xEF\xBB\xBF; comment\r\n"
            "[EventManager]\r\n"
            "  ndumpcache = 1 \r\n"
            "[unterminated\n"
            "no equals sign\n"
            "ndumpcache=2\n");
  ASSERT_EQ(HXPlatformInfo::SetOverlay("Base", "nHXPlatformType", "1"), 1);
  ASSERT_EQ(info.listFile(&lines), SettingStatus::kFound);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].kind, SettingsLine::kSection);
  EXPECT_EQ(lines[0].number, 2);
  EXPECT_EQ(lines[0].section, "EventManager");
  EXPECT_EQ(lines[1].kind, SettingsLine::kValue);
  EXPECT_EQ(lines[1].name + "=" + lines[1].value, "ndumpcache=1");
  EXPECT_EQ(lines[1].text, "ndumpcache = 1");
  // A broken header does not end the section: reads still find its values.
  EXPECT_EQ(lines[2].kind, SettingsLine::kMalformed);
  EXPECT_EQ(lines[2].text, "[unterminated");
  EXPECT_EQ(lines[3].kind, SettingsLine::kMalformed);
  EXPECT_EQ(lines[3].section, "EventManager");
  EXPECT_EQ(lines[4].number, 6);
  EXPECT_EQ(lines[4].section, "EventManager");
}

TEST_F(SettingsTest, ReadsHandWrittenFileWithCommentsBlanksAndCrLf) {
  WriteFile(IniPath(),
            "; written by an operator\r\n"
            "# another comment\n"
            "\n"
            "[vTaskHost]\r\n"
            "  dHOME = /opt/agent home \r\n"
            "[ EventManager ]\n"
            "AddressCacheMemorySize=2500\n"
            "empty=\n"
            "[Base]\n"
            "dBASEHOME=/opt/base\n");
  HXPlatformInfo info;
  std::string home;
  ASSERT_NE(info.getString("vTaskHost", "dHOME", &home), 0);
  EXPECT_EQ(home, "/opt/agent home");
  unsigned long size = 0;
  ASSERT_NE(info.getNumber("EventManager", "AddressCacheMemorySize", &size), 0);
  EXPECT_EQ(size, 2500u);
  // Names match regardless of ASCII case, as in the platform's store.
  ASSERT_NE(info.getNumber("eventmanager", "addresscachememorysize", &size), 0);
  std::string empty = "x";
  ASSERT_NE(info.getString("EventManager", "empty", &empty), 0);
  EXPECT_EQ(empty, "");
  // A value belongs to its own section only.
  EXPECT_EQ(info.getString("Base", "dHOME", &home), 0);
}

TEST_F(SettingsTest, MalformedLinesAreSkippedWithALogLine) {
  WriteFile(IniPath(),
            "[EventManager]\n"
            "this line has no equals sign\n"
            "=novalue\n"
            "[unterminated\n"
            "[]\n"
            "nKept=12\n");
  ScopedLogCapture log(1);
  HXPlatformInfo info;
  ExpectNumber(info, "nKept", 12u);
  EXPECT_EQ(log->count("Skipping malformed line"), 4) << log->dump();
  EXPECT_EQ(log->count("line 2 of settings file " + IniPath() + ": this line has no equals sign"),
            1)
      << log->dump();
  for (const auto& line : log->lines()) EXPECT_EQ(line.level, 1);
}

TEST_F(SettingsTest, NumbersMustBeDecimalAndFit64Bits) {
  WriteFile(IniPath(),
            "[EventManager]\n"
            "max=18446744073709551615\n"
            "over=18446744073709551616\n"
            "huge=99999999999999999999999\n"
            "negative=-1\n"
            "hex=0x10\n"
            "trailing=12abc\n"
            "blank=\n"
            "inner=1 2\n");
  ScopedLogCapture log(1);
  HXPlatformInfo info;
  ExpectNumber(info, "max", 18446744073709551615ul);
  for (const char* bad : {"over", "huge", "negative", "hex", "trailing", "blank", "inner"}) {
    unsigned long value = 3;
    EXPECT_EQ(info.getNumber("EventManager", bad, &value), 0) << bad;
    EXPECT_EQ(value, 3u) << bad;
  }
  EXPECT_EQ(log->count("is not a decimal number"), 7) << log->dump();
}

TEST_F(SettingsTest, ThirtyTwoBitReadKeepsLowBitsOnlyWhenFound) {
  WriteFile(IniPath(), "[EventManager]\nwide=4294967301\n");
  HXPlatformInfo info;
  unsigned int low = 9;
  ASSERT_NE(info.getNumber("EventManager", "wide", &low), 0);
  EXPECT_EQ(low, 5u);
  low = 9;
  EXPECT_EQ(info.getNumber("EventManager", "missing", &low), 0);
  EXPECT_EQ(low, 9u);
}

TEST_F(SettingsTest, RewriteKeepsOtherLinesAndComments) {
  WriteFile(IniPath(),
            "; keep me\n"
            "[EventManager]\n"
            "  nLastGuidNameTableRefreshTime = 1\n"
            "# trailing comment of the section\n"
            "garbage line\n"
            "\n"
            "[vTaskHost]\n"
            "dHOME=/opt/agent\n");
  HXPlatformInfo info;
  ASSERT_NE(info.setNumber("EventManager", "nLastGuidNameTableRefreshTime", 1700000000), 0);
  ASSERT_NE(info.setNumber("EventManager", "nNew", 7), 0);
  ASSERT_NE(info.setString("Base", "dBASEHOME", "/opt/base"), 0);
  EXPECT_EQ(ReadFile(IniPath()),
            "; keep me\n"
            "[EventManager]\n"
            "nLastGuidNameTableRefreshTime=1700000000\n"
            "# trailing comment of the section\n"
            "garbage line\n"
            "nNew=7\n"
            "\n"
            "[vTaskHost]\n"
            "dHOME=/opt/agent\n"
            "\n"
            "[Base]\n"
            "dBASEHOME=/opt/base\n");
  ExpectNumber(info, "nLastGuidNameTableRefreshTime", 1700000000u);
  EXPECT_TRUE(StrayFiles().empty());
}

TEST_F(SettingsTest, SetNumberCreatesTheFileButNeverTheFolder) {
  HXPlatformInfo info;
  ASSERT_NE(info.setNumber("EventManager", "nX", 42), 0);
  EXPECT_EQ(ReadFile(IniPath()), "[EventManager]\nnX=42\n");

  const std::string missing = dir_.path() + "/not-there";
  ScopedConfig elsewhere(Knob::kSettingsDir, missing);
  ScopedLogCapture log;
  EXPECT_EQ(info.setNumber("EventManager", "nX", 43), 0);
  EXPECT_EQ(log->count("Cannot lock settings file " + missing + "/Instance001.ini"), 1)
      << log->dump();
  EXPECT_EQ(access(missing.c_str(), F_OK), -1);
}

TEST_F(SettingsTest, RemoveValueDropsEveryCopyAndToleratesAbsence) {
  WriteFile(IniPath(), "[Base]\na=1\nb=2\na=3\n[EventManager]\na=4\n");
  HXPlatformInfo info;
  ASSERT_NE(info.removeValue("Base", "a"), 0);
  EXPECT_EQ(ReadFile(IniPath()), "[Base]\nb=2\n[EventManager]\na=4\n");
  EXPECT_NE(info.removeValue("Base", "never"), 0);
  EXPECT_NE(info.removeValue("Nowhere", "a"), 0);
  EXPECT_EQ(ReadFile(IniPath()), "[Base]\nb=2\n[EventManager]\na=4\n");
}

TEST_F(SettingsTest, ValuesThatCannotBeReadBackAreRefused) {
  HXPlatformInfo info;
  ScopedLogCapture log;
  EXPECT_EQ(info.setString("Base", "d", "two\nlines"), 0);
  EXPECT_EQ(info.setString("Base", "d", " padded"), 0);
  EXPECT_EQ(info.setNumber("Base", "a=b", 1), 0);
  EXPECT_EQ(info.setNumber("Ba]se", "a", 1), 0);
  EXPECT_EQ(info.setNumber("", "a", 1), 0);
  EXPECT_EQ(info.setNumber("Base", nullptr, 1), 0);
  EXPECT_EQ(access(IniPath().c_str(), F_OK), -1);
  EXPECT_EQ(log->lines().size(), 6u) << log->dump();
}

TEST_F(SettingsTest, FocusChoosesTheInstanceFile) {
  WriteFile(IniPath("Instance001"), "[Base]\nwho=default\n");
  WriteFile(IniPath("Instance002"), "[Base]\nwho=second\n");
  WriteFile(IniPath("Other"), "[Base]\nwho=other\n");
  HXPlatformInfo unfocused;
  std::string who;
  ASSERT_NE(unfocused.getString("Base", "who", &who), 0);
  EXPECT_EQ(who, "default");
  {
    // Read at every call: the same object follows the environment.
    ScopedConfig second(Knob::kInstance, "Instance002");
    EXPECT_STREQ(HXPI_Focus::getFocus(), "Instance002");
    ASSERT_NE(unfocused.getString("Base", "who", &who), 0);
    EXPECT_EQ(who, "second");
  }
  HXPlatformInfo focused;
  ASSERT_NE(focused.setFocus("Other"), 0);
  ASSERT_NE(focused.getString("Base", "who", &who), 0);
  EXPECT_EQ(who, "other");
  EXPECT_EQ(focused.setFocus(nullptr), 0);
  EXPECT_EQ(focused.setFocus(""), 0);
  EXPECT_EQ(focused.setFocus("../escape"), 0);
  EXPECT_EQ(focused.filePath(), IniPath("Other"));
}

TEST_F(SettingsTest, PlatformTypeAndMachineName) {
  HXPlatformInfo info;
  EXPECT_EQ(info.getHXPlatformType(), 0u);
  ASSERT_NE(info.setNumber("Base", "nHXPlatformType", 5), 0);
  EXPECT_EQ(info.getHXPlatformType() & kHXPlatformControlServerHere, 1u);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_STREQ(info.getPhysicalMachine(), host);
}

TEST_F(SettingsTest, WritersInTwoProcessesLoseNoValue) {
  // Without the lock across read-modify-write, one process's rename would
  // drop the values the other had just added.
  const int kPerChild = 200;
  auto writer = [&](const char* prefix) {
    return [=] {
      HXPlatformInfo info;
      for (int i = 0; i < kPerChild; ++i) {
        std::string name = std::string(prefix) + std::to_string(i);
        if (!info.setNumber("EventManager", name.c_str(), 1000 + i)) return 2;
      }
      return 0;
    };
  };
  pid_t a = testsupport::ForkChild(writer("a"));
  pid_t b = testsupport::ForkChild(writer("b"));
  EXPECT_EQ(testsupport::WaitChild(a), 0);
  EXPECT_EQ(testsupport::WaitChild(b), 0);

  HXPlatformInfo info;
  int found = 0;
  for (const char* prefix : {"a", "b"}) {
    for (int i = 0; i < kPerChild; ++i) {
      unsigned long value = 0;
      std::string name = std::string(prefix) + std::to_string(i);
      if (info.getNumber("EventManager", name.c_str(), &value) && value == 1000u + i) ++found;
    }
  }
  EXPECT_EQ(found, 2 * kPerChild);
  EXPECT_TRUE(StrayFiles().empty());
}

TEST_F(SettingsTest, ConcurrentWritersAndReaderSeeNoTornFile) {
  // A value written before the writers start must be found by every read
  // while they rewrite the file; a writer that truncated the file in place
  // would make some reads miss it.
  HXPlatformInfo setup;
  ASSERT_NE(setup.setString("vTaskHost", "dHOME", "/opt/agent"), 0);
  const int kThreads = 4, kPerThread = 50;
  std::atomic<bool> writersDone{false};
  std::atomic<int> missed{0}, reads{0}, failedWrites{0};
  std::thread reader([&] {
    HXPlatformInfo info;
    do {
      std::string home;
      if (!info.getString("vTaskHost", "dHOME", &home) || home != "/opt/agent") ++missed;
      ++reads;
    } while (!writersDone.load());
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      HXPlatformInfo info;
      for (int i = 0; i < kPerThread; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        if (!info.setNumber("EventManager", name.c_str(), i)) ++failedWrites;
      }
    });
  }
  for (auto& w : writers) w.join();
  writersDone = true;
  reader.join();
  EXPECT_EQ(failedWrites.load(), 0);
  EXPECT_EQ(missed.load(), 0) << "of " << reads.load() << " reads";
  HXPlatformInfo info;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      unsigned long value = 99;
      std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
      EXPECT_NE(info.getNumber("EventManager", name.c_str(), &value), 0) << name;
      EXPECT_EQ(value, static_cast<unsigned long>(i)) << name;
    }
  }
}

TEST_F(SettingsTest, SettingsFileThatIsALinkStaysALink) {
  ASSERT_EQ(mkdir(dir_.file("real").c_str(), 0755), 0);
  const std::string target = dir_.file("real/agent.ini");
  WriteFile(target, "; kept\n[vTaskHost]\ndHOME=/opt/agent\n");
  ASSERT_EQ(symlink("real/agent.ini", IniPath().c_str()), 0);
  HXPlatformInfo info;
  ASSERT_NE(info.setNumber("EventManager", "nX", 5), 0);

  struct stat st;
  ASSERT_EQ(lstat(IniPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(target), "; kept\n[vTaskHost]\ndHOME=/opt/agent\n\n[EventManager]\nnX=5\n");
  // Writers through either name lock the one file beside the target.
  EXPECT_EQ(access((target + ".lock").c_str(), F_OK), 0);
  EXPECT_NE(access((IniPath() + ".lock").c_str(), F_OK), 0);
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.file("real")))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"agent.ini", "agent.ini.lock"}));
}

TEST_F(SettingsTest, ByteOrderMarkIsSkippedAndKept) {
  WriteFile(IniPath(), "\xEF\xBB\xBF[vTaskHost]\ndHOME=x");
  HXPlatformInfo info;
  std::string home;
  ASSERT_NE(info.getString("vTaskHost", "dHOME", &home), 0);
  EXPECT_EQ(home, "x");
  ASSERT_NE(info.setNumber("vTaskHost", "nY", 2), 0);
  EXPECT_EQ(ReadFile(IniPath()), "\xEF\xBB\xBF[vTaskHost]\ndHOME=x\nnY=2\n");
}

TEST_F(SettingsTest, OverlayIsReadFirstAndNeverWritten) {
  ASSERT_NE(HXPlatformInfo::SetOverlay("vTaskHost", "dHOME", "/overlaid"), 0);
  HXPlatformInfo info;
  std::string home;
  ASSERT_NE(info.getString("VTASKHOST", "dhome", &home), 0);
  EXPECT_EQ(home, "/overlaid");
  EXPECT_NE(access(IniPath().c_str(), F_OK), 0);
  {
    ScopedConfig unset(Knob::kSettingsDir, "");
    home.clear();
    ASSERT_NE(HXPlatformInfo().getString("vTaskHost", "dHOME", &home), 0);
    EXPECT_EQ(home, "/overlaid");
  }

  // Writes go to the file alone; an overlaid name written to the file still
  // reads as overlaid until the overlay is removed.
  ASSERT_NE(info.setNumber("EventManager", "nX", 5), 0);
  EXPECT_EQ(ReadFile(IniPath()), "[EventManager]\nnX=5\n");
  ASSERT_NE(HXPlatformInfo::SetOverlay("EventManager", "SmtpGuidTableRefreshInterval", "60"), 0);
  ASSERT_NE(info.setNumber("EventManager", "SmtpGuidTableRefreshInterval", 1440), 0);
  EXPECT_EQ(ReadFile(IniPath()), "[EventManager]\nnX=5\nSmtpGuidTableRefreshInterval=1440\n");
  unsigned long minutes = 0;
  ASSERT_NE(info.getNumber("EventManager", "SmtpGuidTableRefreshInterval", &minutes), 0);
  EXPECT_EQ(minutes, 60u);
  EXPECT_NE(HXPlatformInfo::RemoveOverlay("EventManager", "SmtpGuidTableRefreshInterval"), 0);
  EXPECT_EQ(HXPlatformInfo::RemoveOverlay("EventManager", "SmtpGuidTableRefreshInterval"), 0);
  ASSERT_NE(info.getNumber("EventManager", "SmtpGuidTableRefreshInterval", &minutes), 0);
  EXPECT_EQ(minutes, 1440u);

  HXPlatformInfo::ClearOverlay();
  EXPECT_EQ(info.getString("vTaskHost", "dHOME", &home), 0);
  EXPECT_EQ(HXPlatformInfo::SetOverlay("", "dHOME", "x"), 0);
}

TEST_F(SettingsTest, OverlaidStringWinsOverTheFilesValue) {
  WriteFile(IniPath(), "[Base]\ndMORVAXTEMPDIR=/from-file\n");
  ASSERT_NE(HXPlatformInfo::SetOverlay("Base", "dMORVAXTEMPDIR", "/overlaid"), 0);
  HXPlatformInfo info;
  std::string value;
  ASSERT_NE(info.getString("BASE", "dmorvaxtempdir", &value), 0);
  EXPECT_EQ(value, "/overlaid");
  ASSERT_NE(info.setString("Base", "dMORVAXTEMPDIR", "/written"), 0);
  ASSERT_NE(info.getString("Base", "dMORVAXTEMPDIR", &value), 0);
  EXPECT_EQ(value, "/overlaid");
  EXPECT_NE(HXPlatformInfo::RemoveOverlay("Base", "dMORVAXTEMPDIR"), 0);
  ASSERT_NE(info.getString("Base", "dMORVAXTEMPDIR", &value), 0);
  EXPECT_EQ(value, "/written");
}

TEST_F(SettingsTest, ConcurrentOverlayChangesAndReadsSeeWholeValues) {
  // Each value starts with its own key, so a reader can tell a value of
  // another key from a real one.
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      const std::string name = "n" + std::to_string(i % 8);
      HXPlatformInfo::SetOverlay("Base", name.c_str(), name + ":" + std::to_string(i));
      if (i % 3 == 0) HXPlatformInfo::RemoveOverlay("Base", name.c_str());
      if (i % 500 == 0) HXPlatformInfo::ClearOverlay();
    }
    stop = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      HXPlatformInfo info;
      const std::string name = "n" + std::to_string(r);
      while (!stop) {
        std::string value;
        if (info.getString("Base", name.c_str(), &value) && value.rfind(name + ":", 0) != 0)
          ++wrong;
      }
    });
  }
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(SettingsTest, UnparseableNumberIsLoggedOncePerValue) {
  WriteFile(IniPath(), "[EventManager]\nSmtpGuidTableRefreshInterval=1h\n");
  ScopedLogCapture log(-1);
  HXPlatformInfo info;
  unsigned long minutes = 1440;
  EXPECT_EQ(info.getNumber("EventManager", "SmtpGuidTableRefreshInterval", &minutes), 0);
  EXPECT_EQ(info.getNumber("EventManager", "SmtpGuidTableRefreshInterval", &minutes), 0);
  EXPECT_EQ(minutes, 1440u);
  ASSERT_EQ(log->lines().size(), 1u) << log->dump();
  EXPECT_NE(log->lines()[0].message.find("SmtpGuidTableRefreshInterval of [EventManager] in " +
                                         IniPath() + " is not a decimal number"),
            std::string::npos)
      << log->dump();
  EXPECT_NE(log->lines()[0].message.find(": 1h"), std::string::npos) << log->dump();

  // Another text is another value, and is reported again.
  WriteFile(IniPath(), "[EventManager]\nSmtpGuidTableRefreshInterval=99999999999999999999\n");
  EXPECT_EQ(info.getNumber("EventManager", "SmtpGuidTableRefreshInterval", &minutes), 0);
  EXPECT_EQ(log->lines().size(), 2u) << log->dump();
}

}  // namespace
