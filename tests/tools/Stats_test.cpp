// guidlookup stats.
#include "GuidlookupTool.h"

namespace tooltest {
namespace {

TEST_F(GuidlookupToolTest, StatsPrintsTheLibrarysCounters) {
  ImportDirectory();
  WriteFile(dir_.file("keys"),
            "ann@contoso.com\nANN@contoso.com\nnobody@contoso.com\nann@contoso.com\n");
  ToolRun run = ExpectExit(0, {"stats", "--no-refresh", "--json", dir_.file("keys")});
  EXPECT_EQ(Json(run.out,
                 "[d['mode'], d['keys'], d['found'], d['lookup']['hits'], "
                 "d['lookup']['misses'], d['cache']['rows'], d['cache']['keys'], "
                 "d['cache']['hits'], d['cache']['databaseQueries'], "
                 "d['cache']['loaded'], d['cache']['bytesHeld'] > 0]"),
            "[\"shared\", 4, 3, 3, 1, 5, 4, 3, 1, true, true]")
      << run.out;
  run = ExpectExit(0, {"stats", "--private", "--json", dir_.file("keys")});
  EXPECT_EQ(Json(run.out, "[d['mode'], d['found'], d['lookup'], d['cache']]"),
            "[\"private\", 3, {\"databaseFailures\": 0, \"databaseQueries\": 3, \"hits\": 1, "
            "\"misses\": 3, \"refreshes\": 0}, null]")
      << run.out;
  run = RunHomeReading({"stats", "--no-refresh", "-"}, dir_.file("keys"));
  EXPECT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_NE(run.out.find("keys:                     4 (3 found, 1 not found)\n"), std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace tooltest
