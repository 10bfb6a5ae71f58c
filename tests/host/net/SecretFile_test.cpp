// The private-file rule and the cutting of a secret from its file, shared by
// the network session, the directory reader and `guidlookup check`.
#include "host/net/SecretFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/TestSupport.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

class SecretFileTest : public ::testing::Test {
 protected:
  // A file of `content` with `mode`.
  std::string Private(const std::string& name, const std::string& content, mode_t mode = 0600) {
    const std::string path = dir_.file(name);
    WriteFile(path, content);
    ::chmod(path.c_str(), mode);
    return path;
  }
  SecretFileVerdict Read(const std::string& path, size_t limit, SecretText text) {
    return ReadSecretFile(path, limit, text, secret_);
  }

  TempDir dir_;
  Secret secret_;
};

TEST_F(SecretFileTest, FileOthersMayReadIsRefusedWithItsModeAndNothingIsKept) {
  const SecretFileVerdict verdict =
      Read(Private("token", "s3cret\n", 0640), 100, SecretText::kTrimmed);
  EXPECT_EQ(verdict.fault, SecretFileFault::kOthersMayAccess);
  EXPECT_EQ(verdict.mode, 0640u);
  EXPECT_TRUE(secret_.empty());
  EXPECT_EQ(CheckSecretFile(dir_.file("token")).fault, SecretFileFault::kOthersMayAccess);
}

// A FIFO at the path used to block the reader until someone wrote to it.
TEST_F(SecretFileTest, FifoIsRefusedWithoutWaitingForAWriter) {
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Read(fifo, 100, SecretText::kTrimmed).fault, SecretFileFault::kNotAFile);
  EXPECT_EQ(CheckSecretFile(fifo).fault, SecretFileFault::kNotAFile);
  EXPECT_EQ(CheckSecretFile(dir_.path()).fault, SecretFileFault::kNotAFile);
  EXPECT_EQ(CheckSecretFile(dir_.file("missing")).fault, SecretFileFault::kCannotRead);
}

TEST_F(SecretFileTest, TrimmedTextDropsBlanksAndRefusesControlCharacters) {
  ASSERT_TRUE(Read(Private("t", "  tok en \r\n"), 100, SecretText::kTrimmed).ok());
  EXPECT_EQ(secret_.value(), "tok en");
  EXPECT_EQ(Read(Private("two", "a\nb\n"), 100, SecretText::kTrimmed).fault,
            SecretFileFault::kNotOneLine);
  EXPECT_EQ(Read(Private("blank", " \n"), 100, SecretText::kTrimmed).fault,
            SecretFileFault::kEmpty);
  EXPECT_EQ(Read(Private("big", std::string(101, 'x')), 100, SecretText::kTrimmed).fault,
            SecretFileFault::kTooLarge);
  EXPECT_TRUE(secret_.empty());
}

TEST_F(SecretFileTest, OneLineTextKeepsBlanksAndTakesOneLineEnd) {
  ASSERT_TRUE(Read(Private("p", " pw \r\n"), 4, SecretText::kOneLine).ok());
  EXPECT_EQ(secret_.value(), " pw ");
  EXPECT_EQ(Read(Private("nul", std::string("a\0b", 3)), 100, SecretText::kOneLine).fault,
            SecretFileFault::kNotOneLine);
  EXPECT_EQ(Read(Private("empty", "\n"), 100, SecretText::kOneLine).fault, SecretFileFault::kEmpty);
}

// A file longer than the limit whose byte after it happened to be a line end
// used to pass as its first line, cut short.
TEST_F(SecretFileTest, LongFileIsTooLargeWhereverItsLineEndsFall) {
  std::string text(4096, 'x');
  text += "\nrest of a longer file";
  EXPECT_EQ(Read(Private("long", text), 4096, SecretText::kOneLine).fault,
            SecretFileFault::kTooLarge);
  EXPECT_TRUE(
      Read(Private("exact", std::string(4096, 'x') + "\r\n"), 4096, SecretText::kOneLine).ok());
  EXPECT_EQ(secret_.value().size(), 4096u);
}

}  // namespace
