// The refresh decision: every row of its table, every reason text, and the
// inputs that are garbage (settings, marker files).
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "lookups/HXGuidLookups.h"
#include "support/HXGuidLookupsSupport.h"

namespace {

using testsupport::LookupSandbox;
using testsupport::WriteFile;

const char kPrefix[] = "IsSQLiteRefreshNeeded: ";
const char kNeverRefreshed[] = "[Refreshing as the GUID table was not refreshed at all]";
const char kIntervalZero[] = "[Refresh interval is set to 0 explicitly, not refreshing GUIDs]";

std::string Stale(unsigned long interval) {
  return "[Refreshing as the table is not synced in the last refresh interval of (" +
         std::to_string(interval) + ")]";
}
std::string Recent(unsigned long interval) {
  return "[Last refreshtime was a recent one, refresh interval is (" + std::to_string(interval) +
         ")]";
}
std::string AlreadyRefreshed(unsigned long job) {
  return "[Refresh happened once for the job (" + std::to_string(job) + ")]";
}
std::string NeverResumed(unsigned long job) {
  return "[Refresh flag set for the job(" + std::to_string(job) + ") and was never resumed]";
}

class RefreshPolicyTest : public ::testing::Test {
 protected:
  std::string Now(long delta = 0) {
    return std::to_string(static_cast<long>(time(nullptr)) + delta);
  }

  GuidRefreshState Decide(unsigned int flags, unsigned long job, std::string marker = "") {
    if (marker.empty()) marker = sandbox.markerFile();
    reason = "left over";
    return IsSQLiteRefreshNeeded(reason, flags, marker, job);
  }

  LookupSandbox sandbox;
  std::string reason;
};

TEST_F(RefreshPolicyTest, NoRecordedRefreshRefreshesWhateverTheInterval) {
  sandbox.WriteSettings({{"SmtpGuidTableRefreshInterval", "0"}});
  EXPECT_EQ(RefreshNeeded, Decide(0, 1));
  EXPECT_EQ(std::string(kPrefix) + kNeverRefreshed, reason);

  sandbox.WriteSettings({});
  EXPECT_EQ(RefreshNeeded, Decide(0, 1));
  EXPECT_EQ(std::string(kPrefix) + kNeverRefreshed, reason);
}

TEST_F(RefreshPolicyTest, IntervalZeroTurnsRefreshByTimeOff) {
  sandbox.WriteSettings(
      {{"nLastGuidNameTableRefreshTime", "1"}, {"SmtpGuidTableRefreshInterval", "0"}});
  EXPECT_EQ(RefreshNotNeeded, Decide(0, 1));
  EXPECT_EQ(std::string(kPrefix) + kIntervalZero, reason);
}

TEST_F(RefreshPolicyTest, StoredZeroTimeIsStale) {
  // A rebuild stores 0 while it runs: an interrupted one must look stale.
  sandbox.WriteSettings(
      {{"nLastGuidNameTableRefreshTime", "0"}, {"SmtpGuidTableRefreshInterval", "5"}});
  EXPECT_EQ(RefreshNeeded, Decide(0, 1));
  EXPECT_EQ(kPrefix + Stale(5), reason);
}

TEST_F(RefreshPolicyTest, AgeAtTheLimitRefreshesOneSecondLessDoesNot) {
  // Retried when the clock ticks during the call, so the age is exact.
  for (int attempt = 0; attempt < 5; ++attempt) {
    time_t before = time(nullptr);
    sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", std::to_string(before - 120)},
                           {"SmtpGuidTableRefreshInterval", "2"}});
    GuidRefreshState atLimit = Decide(0, 1);
    std::string atLimitReason = reason;
    sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", std::to_string(before - 119)},
                           {"SmtpGuidTableRefreshInterval", "2"}});
    GuidRefreshState justUnder = Decide(0, 1);
    if (time(nullptr) != before) continue;
    EXPECT_EQ(RefreshNeeded, atLimit);
    EXPECT_EQ(kPrefix + Stale(2), atLimitReason);
    EXPECT_EQ(RefreshNotNeeded, justUnder);
    EXPECT_EQ(kPrefix + Recent(2), reason);
    return;
  }
  FAIL() << "the clock kept ticking";
}

TEST_F(RefreshPolicyTest, LastTimeInTheFutureRefreshes) {
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(+86400)}});
  EXPECT_EQ(RefreshNeeded, Decide(0, 1));
  EXPECT_EQ(kPrefix + Stale(1440), reason);
}

TEST_F(RefreshPolicyTest, MissingIntervalMeansOneDay) {
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-3600)}});
  EXPECT_EQ(RefreshNotNeeded, Decide(0, 1));
  EXPECT_EQ(kPrefix + Recent(1440), reason);
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-86400)}});
  EXPECT_EQ(RefreshNeeded, Decide(0, 1));
  EXPECT_EQ(kPrefix + Stale(1440), reason);
}

// The decision table: job flag x marker x time verdict.
TEST_F(RefreshPolicyTest, JobFlagClearLeavesTheTimeRuleAloneAndIgnoresTheMarker) {
  WriteFile(sandbox.root() + "/other.job", "7");
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-3600)}});
  EXPECT_EQ(RefreshNotNeeded, Decide(0, 9, sandbox.root() + "/other.job"));
  EXPECT_EQ(kPrefix + Recent(1440), reason);
  // Not even an empty path is looked at.
  reason.clear();
  EXPECT_EQ(RefreshNotNeeded, IsSQLiteRefreshNeeded(reason, 0, "", 9));
  EXPECT_EQ(kPrefix + Recent(1440), reason);

  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-2 * 86400)}});
  EXPECT_EQ(RefreshNeeded, Decide(~GuidRefreshJobFlag, 9));
  EXPECT_EQ(kPrefix + Stale(1440), reason);
}

TEST_F(RefreshPolicyTest, JobAlreadyRefreshedLeavesItToTheTimeRule) {
  WriteFile(sandbox.root() + "/m", "42");
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-3600)}});
  EXPECT_EQ(RefreshNotNeeded, Decide(GuidRefreshJobFlag, 42, sandbox.root() + "/m"));
  EXPECT_EQ(kPrefix + AlreadyRefreshed(42) + Recent(1440), reason);

  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-2 * 86400)}});
  EXPECT_EQ(RefreshNeeded, Decide(GuidRefreshJobFlag, 42, sandbox.root() + "/m"));
  EXPECT_EQ(kPrefix + AlreadyRefreshed(42) + Stale(1440), reason);
}

TEST_F(RefreshPolicyTest, JobNotYetRefreshedForcesARefresh) {
  // Job 42 with marker 17, refreshed an hour ago: the job forces the refresh.
  WriteFile(sandbox.root() + "/m", "17");
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-3600)}});
  EXPECT_EQ(RefreshNeeded, Decide(GuidRefreshJobFlag, 42, sandbox.root() + "/m"));
  EXPECT_EQ(
      "IsSQLiteRefreshNeeded: [Refresh flag set for the job(42) and was never resumed]"
      "[Last refreshtime was a recent one, refresh interval is (1440)]",
      reason);

  // Even when refreshing by time is off.
  sandbox.WriteSettings(
      {{"nLastGuidNameTableRefreshTime", Now(-3600)}, {"SmtpGuidTableRefreshInterval", "0"}});
  EXPECT_EQ(RefreshNeeded, Decide(GuidRefreshJobFlag, 42, sandbox.root() + "/m"));
  EXPECT_EQ(kPrefix + NeverResumed(42) + kIntervalZero, reason);
}

TEST_F(RefreshPolicyTest, MarkerThatIsMissingEmptyOrGarbageNamesAnotherJob) {
  sandbox.WriteSettings(
      {{"nLastGuidNameTableRefreshTime", Now(-60)}, {"SmtpGuidTableRefreshInterval", "0"}});
  const std::string m = sandbox.root() + "/marker";
  EXPECT_EQ(RefreshNeeded, Decide(GuidRefreshJobFlag, 5, m)) << "missing";
  EXPECT_EQ(kPrefix + NeverResumed(5) + kIntervalZero, reason);
  EXPECT_EQ(RefreshNeeded, Decide(GuidRefreshJobFlag, 5, "")) << "no path";

  for (const char* garbage :
       {"", "   ", "garbage", "5x", "-5", "5 6", "0x5", "\x05", "99999999999999999999999"}) {
    WriteFile(m, garbage);
    EXPECT_EQ(RefreshNeeded, Decide(GuidRefreshJobFlag, 5, m)) << "[" << garbage << "]";
    EXPECT_EQ(kPrefix + NeverResumed(5) + kIntervalZero, reason);
  }
  // A folder where the marker should be.
  EXPECT_EQ(RefreshNeeded, Decide(GuidRefreshJobFlag, 5, sandbox.root()));
}

TEST_F(RefreshPolicyTest, MarkerMayCarryBlanksAndALineEnd) {
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-60)}});
  const std::string m = sandbox.root() + "/marker";
  for (const char* text :
       {"18446744073709551615", " 18446744073709551615\n", "\t18446744073709551615\r\n"}) {
    WriteFile(m, text);
    EXPECT_EQ(RefreshNotNeeded, Decide(GuidRefreshJobFlag, 18446744073709551615ul, m)) << text;
    EXPECT_EQ(kPrefix + AlreadyRefreshed(18446744073709551615ul) + Recent(1440), reason);
  }
}

TEST_F(RefreshPolicyTest, GarbageAndHugeNumbersInSettingsFallBackWithoutACrash) {
  // An unparsable time is a missing one.
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", "yesterday"}});
  EXPECT_EQ(RefreshNeeded, Decide(0, 1));
  EXPECT_EQ(std::string(kPrefix) + kNeverRefreshed, reason);

  // An interval beyond 64 bits is a missing one.
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-60)},
                         {"SmtpGuidTableRefreshInterval", "123456789012345678901234567890"}});
  EXPECT_EQ(RefreshNotNeeded, Decide(0, 1));
  EXPECT_EQ(kPrefix + Recent(1440), reason);

  // The largest interval wraps in minutes-to-seconds; the answer is defined.
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-60)},
                         {"SmtpGuidTableRefreshInterval", "18446744073709551615"}});
  EXPECT_EQ(RefreshNotNeeded, Decide(0, 1));
  EXPECT_EQ(kPrefix + Recent(18446744073709551615ul), reason);

  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", "18446744073709551615"}});
  EXPECT_EQ(RefreshNeeded, Decide(0, 1));
  EXPECT_EQ(kPrefix + Stale(1440), reason);
}

TEST_F(RefreshPolicyTest, ReadsTheRunningInstanceWithoutAFocus) {
  testsupport::ScopedConfig instance(hostconfig::Knob::kInstance, "Other");
  WriteFile(sandbox.settingsDir() + "/Other.ini",
            "[EventManager]\nnLastGuidNameTableRefreshTime=" + Now(-60) + "\n");
  EXPECT_EQ(RefreshNotNeeded, Decide(0, 1));
  EXPECT_EQ(kPrefix + Recent(1440), reason);
}

}  // namespace
