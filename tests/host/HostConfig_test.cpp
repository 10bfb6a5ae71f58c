#include "host/HostConfig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host/Locks.h"
#include "support/TestSupport.h"

namespace {

using hostconfig::Knob;
using testsupport::ScopedEnv;

class HostConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { hostconfig::Clear(Knob::kLockDir); }
  void TearDown() override { hostconfig::Clear(Knob::kLockDir); }
  ScopedEnv env_{"GUIDLOOKUPS_LOCK_DIR", "/from/env"};
};

TEST_F(HostConfigTest, InProcessValueWinsOverTheEnvironmentUntilCleared) {
  EXPECT_EQ(hostconfig::Get(Knob::kLockDir), "/from/env");
  EXPECT_FALSE(hostconfig::InProcess(Knob::kLockDir));

  ASSERT_TRUE(hostconfig::Set(Knob::kLockDir, "/in/process"));
  EXPECT_EQ(hostconfig::Get(Knob::kLockDir), "/in/process");
  EXPECT_EQ(CNamedMutex("X", nullptr, false).lockFilePath(), "/in/process/X.lock");
  // A forked child keeps the value.
  EXPECT_EQ(testsupport::WaitChild(testsupport::ForkChild(
                [] { return hostconfig::Get(Knob::kLockDir) == "/in/process" ? 0 : 1; })),
            0);

  // Empty turns the knob off: the default lock folder, not the environment's.
  ASSERT_TRUE(hostconfig::Set(Knob::kLockDir, ""));
  EXPECT_NE(CNamedMutex("X", nullptr, false).lockFilePath(), "/from/env/X.lock");

  hostconfig::Clear(Knob::kLockDir);
  EXPECT_EQ(hostconfig::Get(Knob::kLockDir), "/from/env");
  EXPECT_EQ(CNamedMutex("X", nullptr, false).lockFilePath(), "/from/env/X.lock");
}

// Writers set values made of one repeated letter, or clear; a reader must
// only ever see such a whole value or the environment's.
TEST_F(HostConfigTest, ConcurrentReadersSeeWholeValuesWhileWritersSetAndClear) {
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 2000; ++i) {
        if (i % 7 == 0)
          hostconfig::Clear(Knob::kLockDir);
        else
          hostconfig::Set(Knob::kLockDir, std::string(1 + i % 64, static_cast<char>('a' + t)));
      }
    });
    threads.emplace_back([&torn] {
      for (int i = 0; i < 2000; ++i) {
        const std::string value = hostconfig::Get(Knob::kLockDir);
        if (value != "/from/env" && value.find_first_not_of(value[0]) != std::string::npos) ++torn;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
