// Tests of the string, path, file and folder helpers and of CLmError.
#include "host/FXString.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/CLmError.h"
#include "host/FXPath.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

class FXStringTest : public ::testing::Test {
 protected:
  // Names in a folder, so a test can tell that no temporary file is left.
  static std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return names;
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::string Bytes(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed) & 0xff);
    return s;
  }

  TempDir dir_;
};

// --- FXString ---------------------------------------------------------------

TEST_F(FXStringTest, FormatDoesNotCutLongResults) {
  std::string payload(20000, 'x');
  std::string out = FXString::Format("<%s|%d>", payload.c_str(), 42);
  EXPECT_EQ(out, "<" + payload + "|42>");
  EXPECT_EQ(FXString::Format("%s", ""), "");
}

TEST_F(FXStringTest, CaseConversionTouchesOnlyAsciiLetters) {
  // UTF-8 "é" (C3 A9), a Latin-1 byte (C9) and 0xFF would turn into other
  // bytes through a sign-extending or locale-aware toupper.
  std::string mixed = "Ab-Z_z@[`{\xC3\xA9\xC9\xFF";
  std::string upper = mixed;
  FXString::ToUpper(upper);
  EXPECT_EQ(upper, "AB-Z_Z@[`{\xC3\xA9\xC9\xFF");
  std::string lower = mixed;
  FXString::ToLower(lower);
  EXPECT_EQ(lower, "ab-z_z@[`{\xC3\xA9\xC9\xFF");
}

TEST_F(FXStringTest, ReplaceAllDoesNotRescanItsReplacement) {
  std::string s = "a-a-a";
  FXString::ReplaceAll(s, "a", "aa", 0);  // would never end if it rescanned
  EXPECT_EQ(s, "aa-aa-aa");

  std::string from2 = "x.x.x";
  FXString::ReplaceAll(from2, "x", "y", 2);
  EXPECT_EQ(from2, "x.y.y");

  std::string unchanged = "abc";
  FXString::ReplaceAll(unchanged, "", "z", 0);
  FXString::ReplaceAll(unchanged, "a", "z", 10);
  EXPECT_EQ(unchanged, "abc");

  const std::string guid = "{ab-cd-ef}";
  EXPECT_EQ(FXString::CopyAndReplaceAll(guid, "-", "X"), "{abXcdXef}");
  EXPECT_EQ(guid, "{ab-cd-ef}");
}

// --- FXPath, FXFile, FXFolder, CLmDirectory ------------------------------------

TEST_F(FXStringTest, AppendPutsExactlyOneSeparatorBetween) {
  struct Case {
    std::string path, name, expected;
  } cases[] = {
      {"/home/agent", "JobResults", "/home/agent/JobResults"},
      {"/home/agent/", "JobResults", "/home/agent/JobResults"},
      {"/home/agent", "/JobResults", "/home/agent/JobResults"},
      {"", "JobResults", "/JobResults"},
      {"/", "x", "/x"},
  };
  for (const auto& c : cases) {
    std::string path = c.path;
    EXPECT_FALSE(FXPath::Append(path, c.name, 0).IsError());
    EXPECT_EQ(path, c.expected) << "path '" << c.path << "' name '" << c.name << "'";
  }
}

TEST_F(FXStringTest, ExistenceChecksTellFilesFromFolders) {
  WriteFile(dir_.file("f"), "data");
  EXPECT_TRUE(FXFile::DoesFileExist(dir_.file("f")));
  EXPECT_FALSE(FXFile::DoesFileExist(dir_.path()));
  EXPECT_FALSE(FXFile::DoesFileExist(dir_.file("missing")));
  EXPECT_TRUE(FXFolder::DoesFolderExist(dir_.path()));
  EXPECT_FALSE(FXFolder::DoesFolderExist(dir_.file("f")));
  EXPECT_FALSE(FXFolder::DoesFolderExist(dir_.file("missing")));
}

TEST_F(FXStringTest, CreateFoldersIterativelyMakesEveryMissingLevel) {
  const std::string deep = dir_.path() + "/a//b/c/";
  CLmError e = FXFolder::CreateFoldersIteratively(deep, nullptr);
  ASSERT_FALSE(e.IsError()) << e.AsString();
  EXPECT_TRUE(FXFolder::DoesFolderExist(dir_.path() + "/a/b/c"));
  // An existing folder is success, not EEXIST.
  e = FXFolder::CreateFoldersIteratively(dir_.path() + "/a/b", nullptr);
  EXPECT_FALSE(e.IsError()) << e.AsString();
  EXPECT_TRUE(FXFolder::CreateFoldersIteratively("", nullptr).IsError());
}

TEST_F(FXStringTest, CreateFoldersThroughAFileFailsNamingThePath) {
  WriteFile(dir_.file("plain"), "not a folder");
  const std::string target = dir_.path() + "/plain/sub";
  CLmError e = FXFolder::CreateFoldersIteratively(target, nullptr);
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.Code(), hxerr::kIo);
  EXPECT_NE(e.Text().find(dir_.path() + "/plain"), std::string::npos) << e.Text();
  EXPECT_NE(e.Text().find("Not a directory"), std::string::npos) << e.Text();
  EXPECT_EQ(ReadFile(dir_.file("plain")), "not a folder");

  // The last level being a file is an error too, not a silent success.
  EXPECT_TRUE(FXFolder::CreateFoldersIteratively(dir_.file("plain"), nullptr).IsError());
  EXPECT_TRUE(CLmDirectory::Create(dir_.file("plain").c_str(), true).IsError());
}

TEST_F(FXStringTest, DirectoryCreateRecursesOnlyWhenAsked) {
  const std::string nested = dir_.path() + "/x/y";
  CLmError flat = CLmDirectory::Create(nested.c_str(), false);
  ASSERT_TRUE(flat.IsError());
  EXPECT_NE(flat.Text().find("No such file or directory"), std::string::npos) << flat.Text();
  EXPECT_FALSE(FXFolder::DoesFolderExist(dir_.path() + "/x"));

  CLmError deep = CLmDirectory::Create(nested.c_str(), true);
  EXPECT_FALSE(deep.IsError()) << deep.AsString();
  EXPECT_TRUE(FXFolder::DoesFolderExist(nested));
  EXPECT_FALSE(CLmDirectory::Create(nested.c_str(), false).IsError());
  EXPECT_TRUE(CLmDirectory::Create(nullptr, true).IsError());
}

// --- CLmError -----------------------------------------------------------------

TEST_F(FXStringTest, CLmErrorSignBitIsTheErrorFlag) {
  EXPECT_FALSE(CLmError::Success().IsError());
  EXPECT_EQ(CLmError::Success().Code(), 0);
  EXPECT_EQ(CLmError::Success().AsString(), "Success");
  EXPECT_TRUE(CLmError(-1, "x").IsError());
  EXPECT_TRUE(CLmError(INT32_MIN, "x").IsError());
  EXPECT_FALSE(CLmError(1, "warning").IsError());
  EXPECT_FALSE(CLmError(INT32_MAX, "x").IsError());
}

TEST_F(FXStringTest, CLmErrorCopiesShareThePushedTrail) {
  CLmError original(hxerr::kNetwork, "connection refused");
  CLmError copy = original;
  std::string function = "CLmError Initialize()";  // pushed from a temporary string
  copy.Push({"HXGuidLookups", function.c_str(), 42});
  function.assign(64, '#');
  original.Push({"Download", "bool Fetch()", 7});

  ASSERT_EQ(original.Locations().size(), 2u);
  ASSERT_EQ(copy.Locations().size(), 2u);
  EXPECT_STREQ(original.Locations()[0].function, "CLmError Initialize()");
  EXPECT_EQ(copy.Locations()[1].line, 7);
  EXPECT_EQ(original.AsString(),
            "connection refused (code -5) at HXGuidLookups:CLmError Initialize():42, "
            "Download:bool Fetch():7");
  EXPECT_EQ(copy.AsString(), original.AsString());

  CLmError assigned;
  assigned = original;
  EXPECT_TRUE(assigned.IsError());
  EXPECT_EQ(assigned.Text(), "connection refused");
}

TEST_F(FXStringTest, CLmErrorAsStringWithoutTextStillGivesTheCode) {
  CLmError e(hxerr::kTimeout, "");
  EXPECT_EQ(e.AsString(), "error (code -6)");
  CLmError pushedSuccess;
  pushedSuccess.Push({"f", "g", 1});
  EXPECT_FALSE(pushedSuccess.IsError());
  EXPECT_EQ(pushedSuccess.AsString(), "Success");
}

// --- CLmFile::Copy --------------------------------------------------------------

TEST_F(FXStringTest, CopyReplacesDestinationWithExactBytes) {
  // Larger than the copy buffer and full of NULs and high bytes.
  const std::string data = Bytes(200000, 7);
  WriteFile(dir_.file("src"), data);
  chmod(dir_.file("src").c_str(), 0640);
  WriteFile(dir_.file("dst"), "old destination that is longer than nothing");

  CLmError e = CLmFile::Copy(dir_.file("src").c_str(), dir_.file("dst").c_str());
  ASSERT_FALSE(e.IsError()) << e.AsString();
  EXPECT_EQ(ReadFile(dir_.file("dst")), data);
  struct stat st;
  ASSERT_EQ(stat(dir_.file("dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Entries(dir_.path()), (std::vector<std::string>{"dst", "src"}));

  // An empty source gives an empty destination, not a kept old one.
  WriteFile(dir_.file("empty"), "");
  ASSERT_FALSE(CLmFile::Copy(dir_.file("empty").c_str(), dir_.file("dst").c_str()).IsError());
  EXPECT_EQ(ReadFile(dir_.file("dst")), "");
}

TEST_F(FXStringTest, CopyOfMissingSourceIsNotFoundAndKeepsDestination) {
  WriteFile(dir_.file("dst"), "precious");
  CLmError e = CLmFile::Copy(dir_.file("nosuch").c_str(), dir_.file("dst").c_str());
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.Code(), hxerr::kNotFound);
  EXPECT_NE(e.Text().find(dir_.file("nosuch")), std::string::npos) << e.Text();
  EXPECT_NE(e.Text().find("No such file or directory"), std::string::npos) << e.Text();
  EXPECT_EQ(ReadFile(dir_.file("dst")), "precious");
  EXPECT_EQ(Entries(dir_.path()), (std::vector<std::string>{"dst"}));
}

TEST_F(FXStringTest, CopyIntoMissingFolderFailsNamingTheFolder) {
  WriteFile(dir_.file("src"), "data");
  const std::string dst = dir_.path() + "/nofolder/dst";
  CLmError e = CLmFile::Copy(dir_.file("src").c_str(), dst.c_str());
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.Code(), hxerr::kIo);
  EXPECT_NE(e.Text().find(dir_.path() + "/nofolder"), std::string::npos) << e.Text();
  EXPECT_FALSE(FXFolder::DoesFolderExist(dir_.path() + "/nofolder"));
}

TEST_F(FXStringTest, CopyWhoseRenameFailsRemovesItsTemporaryFile) {
  // The data are written completely, then the rename over a non-empty folder
  // fails: the temporary file must not be left behind.
  WriteFile(dir_.file("src"), "data");
  ASSERT_EQ(mkdir(dir_.file("dst").c_str(), 0755), 0);
  WriteFile(dir_.path() + "/dst/keep", "inside");
  CLmError e = CLmFile::Copy(dir_.file("src").c_str(), dir_.file("dst").c_str());
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.Code(), hxerr::kIo);
  EXPECT_NE(e.Text().find(dir_.file("dst")), std::string::npos) << e.Text();
  EXPECT_EQ(Entries(dir_.path()), (std::vector<std::string>{"dst", "src"}));
  EXPECT_EQ(ReadFile(dir_.path() + "/dst/keep"), "inside");
}

TEST_F(FXStringTest, CopyThatFailsWhileWritingKeepsOldDestinationWhole) {
  // A file size limit makes write(2) fail part way through the copy, as a
  // full disk would.
  const std::string data = Bytes(300000, 3);
  const std::string old = Bytes(50000, 11);
  WriteFile(dir_.file("src"), data);
  WriteFile(dir_.file("dst"), old);
  pid_t pid = testsupport::ForkChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {100000, 100000};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    CLmError e = CLmFile::Copy(dir_.file("src").c_str(), dir_.file("dst").c_str());
    if (!e.IsError()) return 3;
    if (e.Code() != hxerr::kIo) return 4;
    if (e.Text().find("File too large") == std::string::npos) return 5;
    return 0;
  });
  EXPECT_EQ(testsupport::WaitChild(pid), 0);
  EXPECT_EQ(ReadFile(dir_.file("dst")), old);
  EXPECT_EQ(Entries(dir_.path()), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(FXStringTest, CopyFromAFolderIsRefused) {
  WriteFile(dir_.file("dst"), "precious");
  CLmError e = CLmFile::Copy(dir_.path().c_str(), dir_.file("dst").c_str());
  EXPECT_TRUE(e.IsError());
  EXPECT_EQ(ReadFile(dir_.file("dst")), "precious");
  EXPECT_TRUE(CLmFile::Copy(nullptr, dir_.file("dst").c_str()).IsError());
  EXPECT_TRUE(CLmFile::Copy(dir_.file("dst").c_str(), "").IsError());
}

TEST_F(FXStringTest, CopyOntoALinkKeepsTheLinkAndFillsItsTarget) {
  ASSERT_EQ(mkdir(dir_.file("real").c_str(), 0755), 0);
  WriteFile(dir_.file("real/dst"), "old");
  ASSERT_EQ(symlink("real/dst", dir_.file("dst").c_str()), 0);
  WriteFile(dir_.file("src"), "new bytes");
  CLmError e = CLmFile::Copy(dir_.file("src").c_str(), dir_.file("dst").c_str());
  ASSERT_FALSE(e.IsError()) << e.AsString();
  struct stat st;
  ASSERT_EQ(lstat(dir_.file("dst").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(dir_.file("real/dst")), "new bytes");
  EXPECT_EQ(Entries(dir_.file("real")), (std::vector<std::string>{"dst"}));
}

}  // namespace
