#include "lookups/FailureLog.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/TestSupport.h"

namespace {

// A boundary's catch-all logs what it caught and keeps the same words, for a
// standard exception and for anything else thrown.
TEST(FailureLogTest, CaughtFailureIsLoggedAndKeptInTheSameWords) {
  testsupport::ScopedLogCapture log;
  std::string kept;
  try {
    throw std::runtime_error("disk on fire");
  } catch (...) {
    HXLOG_FAILURE(kept, "tag", "Refresh failed: %s", guidlookups_internal::CaughtMessage());
  }
  EXPECT_EQ(kept, "Refresh failed: disk on fire");
  EXPECT_TRUE(log->has(-1, "tag", kept));

  try {
    throw 42;
  } catch (...) {
    HXLOG_FAILURE(kept, "tag", "Refresh failed: %s", guidlookups_internal::CaughtMessage());
  }
  EXPECT_EQ(kept, "Refresh failed: unknown error");
  EXPECT_TRUE(log->has(-1, "tag", kept));
}

}  // namespace
