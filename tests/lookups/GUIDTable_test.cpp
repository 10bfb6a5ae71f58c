#include "lookups/GUIDTable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "lookups/CacheKey.h"
#include "lookups/ProcessFlags.h"
#include "lookups/StaticCache.h"
#include "support/StaticCacheSupport.h"
#include "support/TestSupport.h"

namespace {

using testsupport::MakeGuidDb;
using testsupport::Row;
using Lines = std::vector<std::string>;

const char kExchangeTag[] = "int GUIDTable::getAllGUIDs(StaticCache&, bool, bool)";
const char kLotusTag[] = "int GUIDTable::getAllLNGUIDs(StaticCache&, bool, bool)";
const char kInsertTag[] =
    "void InsertIntoMFUCache(std::vector<std::__cxx11::basic_string<char> >&, std::string&, "
    "std::vector<std::__cxx11::basic_string<char> >&, "
    "std::vector<std::__cxx11::basic_string<char> >&, std::string&, "
    "std::multimap<int, SGuidRecord>*, StaticCache&, recordInfo_t&, bool, EvDebug&, bool)";

std::string Summary(int guids, int keys, int empty) {
  return "Unique GUID: " + std::to_string(guids) + ", Total Cache Record: " + std::to_string(keys) +
         ", Empty Records: " + std::to_string(empty);
}

class GUIDTableTest : public ::testing::Test {
 protected:
  void SetUp() override { bIsExchGuid = true; }
  void TearDown() override { bIsExchGuid = true; }

  // Loads "<folder>/GUIDDB.DAT" with one loader into `cache`; its counters
  // go to counted_.
  int Load(StaticCache& cache, bool lotusNotes, bool addProxySmtp, bool dumpCache) {
    GUIDTable table;
    EXPECT_EQ(table.Open(dir_.path().c_str()), 0);
    table.filterByGuidForm = cache.bFilterByGuidForm;
    const int result = lotusNotes ? table.getAllLNGUIDs(cache, addProxySmtp, dumpCache)
                                  : table.getAllGUIDs(cache, addProxySmtp, dumpCache);
    const recordInfo_t& c = table.counters();
    counted_ = Summary(c.uniqueGUIDs, c.totalCacheRecords, c.emptyRecords);
    return result;
  }

  // Keys in the order they were inserted (all have count 1, so the frequency
  // index keeps insertion order).
  static Lines Keys(const StaticCache& cache) {
    Lines keys;
    cache.entries.forEachByFrequency(
        [&](const MFU_Node_Type<MFC_Cache_Value_Type>& n) { keys.push_back(n.name); });
    return keys;
  }

  static const GuidRecordMap* MapOf(StaticCache& cache, const std::string& key) {
    MFC_Cache_Value_Type value;
    return cache.entries.find(key, value, false) ? value.map : nullptr;
  }

  // The dump log's lines, without their line ends.
  std::vector<std::string> DumpLines() const {
    std::istringstream text(testsupport::ReadFile(dir_.file("CIDumpCache.log")));
    Lines lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  std::string counted_;
  testsupport::TempDir dir_;
  testsupport::ScopedConfig config_{{hostconfig::Knob::kLockDir, dir_.path()},
                                    {hostconfig::Knob::kLogFile, ""},
                                    {hostconfig::Knob::kLogDir, ""}};
  testsupport::ScopedLogCapture log_;
};

TEST_F(GUIDTableTest, WorkedExampleDumpLine) {
  testsupport::ScopedConfig logDir(hostconfig::Knob::kLogDir, dir_.path());
  MakeGuidDb(dir_.path(), {{"Ann", "{12-34}", 1}, {"Carol", "{12-34}", 16}});
  StaticCache cache;
  EXPECT_EQ(Load(cache, false, false, true), 1);
  EXPECT_EQ(DumpLines(),
            (Lines{"[1]=>[K:{12-34}][K:ANN][K:CAROL][V:1:1:{12X34}:Ann][V:16:16:{12-34}:Carol]"}));
  EXPECT_TRUE(log_->has(1, kExchangeTag, "Dumping Cache into logfile CIDumpCache"));
  EXPECT_TRUE(log_->has(-1, kExchangeTag, Summary(1, 3, 1)));
}

// The same rows through both loaders: Exchange groups GUIDs regardless of
// case and admits proxy addresses on request; Lotus Notes keeps the GUIDs'
// case and has its own key statuses.
const std::vector<Row> kMixedRows = {
    {"Ann", "{ab-1}", 1},    {"Proxy@x", "{ab-1}", 2}, {"Bob", "{ab-1}", 8},
    {"Carol", "{ab-1}", 16}, {"Dan", "{AB-1}", 64},    {"Eve", "{AB-1}", 128},
    {"Fay", "{AB-1}", 288},  {"Gus", "cn=x/o=y", 1},
};

TEST_F(GUIDTableTest, ExchangeAndLotusNotesLoadTheSameRowsTheirOwnWay) {
  testsupport::ScopedConfig logDir(hostconfig::Knob::kLogDir, dir_.path());
  MakeGuidDb(dir_.path(), kMixedRows);

  StaticCache exchange;
  EXPECT_EQ(Load(exchange, false, true, true), 1);
  EXPECT_EQ(DumpLines(),
            (Lines{"[1]=>[K:CN=X/O=Y][K:GUS][V:1:1:CN=X/O=Y:Gus]",
                   "[2]=>[K:{AB-1}][K:BOB][K:ANN][K:CAROL][K:PROXY@X][V:1:1:{ABX1}:Ann]"
                   "[V:2:2:{AB-1}:Proxy@x][V:8:8:{AB-1}:Bob][V:16:16:{AB-1}:Carol]"
                   "[V:64:64:{AB-1}:Dan][V:128:128:{AB-1}:Eve][V:288:288:{AB-1}:Fay]"}));
  EXPECT_EQ(counted_, Summary(2, 7, 3));

  ASSERT_EQ(std::remove(dir_.file("CIDumpCache.log").c_str()), 0);
  StaticCache lotus;
  EXPECT_EQ(Load(lotus, true, false, true), 1);
  EXPECT_EQ(DumpLines(),
            (Lines{"[1]=>[K:cn=x/o=y][K:GUS][V:1:1:cn=x/o=y:Gus]",
                   "[2]=>[K:{AB-1}][K:DAN][K:EVE][K:FAY][V:64:64:{ABX1}:Dan]"
                   "[V:128:128:{AB-1}:Eve][V:288:288:{AB-1}:Fay]",
                   "[3]=>[K:{ab-1}][K:BOB][K:ANN][V:1:1:{abX1}:Ann][V:2:2:{ab-1}:Proxy@x]"
                   "[V:8:8:{ab-1}:Bob][V:16:16:{ab-1}:Carol]"}));
  EXPECT_TRUE(log_->has(-1, kLotusTag, Summary(3, 9, 6)));

  // Through find: Lotus Notes GUID keys in lower case can never be found.
  exchange.bIsLoaded = true;
  lotus.bIsLoaded = true;
  GuidRecordMap out;
  EXPECT_TRUE(exchange.find("{ab-1}", out));
  EXPECT_EQ(out.size(), 7u);
  EXPECT_TRUE(lotus.find("{ab-1}", out));  // upper-cased: the {AB-1} group
  EXPECT_EQ(out.size(), 3u);
  EXPECT_FALSE(lotus.find("cn=x/o=y", out));
  EXPECT_TRUE(lotus.find("ann", out));
  EXPECT_EQ(out.size(), 4u);
}

TEST_F(GUIDTableTest, DumpFallsBackToLogWriterWithEachLoadersMessage) {
  MakeGuidDb(dir_.path(), {{"Ann", "{12-34}", 1}});
  StaticCache exchange;
  EXPECT_EQ(Load(exchange, false, false, true), 1);
  EXPECT_TRUE(log_->has(1, kExchangeTag,
                        "Could not initialized logfile CIDumpCache to dump cache, dumping cache "
                        "into the default logfile"));
  EXPECT_TRUE(log_->has(1, kInsertTag, "[1]=>[K:{12-34}][K:ANN][V:1:1:{12X34}:Ann]"));

  StaticCache lotus;
  EXPECT_EQ(Load(lotus, true, false, true), 1);
  EXPECT_TRUE(log_->has(1, kLotusTag,
                        "Could not initialize logfile CIDumpCache to dump cache, dumping cache "
                        "into the default logfile"));
}

TEST_F(GUIDTableTest, FastloadPassesProxyAndDumpFlagsToTheLoader) {
  testsupport::ScopedConfig logDir(hostconfig::Knob::kLogDir, dir_.path());
  MakeGuidDb(dir_.path(), {{"Ann", "{1}", 1}, {"ann.proxy@x", "{1}", 2}});
  StaticCache cache;
  ASSERT_EQ(cache.fastload(dir_.path(), true, true), 0);
  EXPECT_EQ(DumpLines(), (Lines{"[1]=>[K:{1}][K:ANN][K:ANN.PROXY@X][V:1:1:{1}:Ann]"
                                "[V:2:2:{1}:ann.proxy@x]"}));
}

TEST_F(GUIDTableTest, ThreeRowGroupKeysAndCounters) {
  MakeGuidDb(dir_.path(), {{"Ann", "{g-1}", 1}, {"Bob", "{g-1}", 8}, {"Carol", "{g-1}", 16}});
  StaticCache plain;
  EXPECT_EQ(Load(plain, false, false, false), 1);
  EXPECT_EQ(Keys(plain), (Lines{"{G-1}", "BOB", "ANN", "CAROL"}));
  ASSERT_NE(MapOf(plain, "CAROL"), nullptr);
  EXPECT_EQ(MapOf(plain, "CAROL"), MapOf(plain, "{G-1}"));  // one map shared by every key
  EXPECT_EQ(MapOf(plain, "BOB")->size(), 3u);
  EXPECT_EQ(counted_, Summary(1, 4, 0));

  log_->clear();
  StaticCache withProxies;
  EXPECT_EQ(Load(withProxies, false, true, false), 1);
  EXPECT_EQ(counted_, Summary(1, 4, 1));  // the empty fourth list
}

TEST_F(GUIDTableTest, ProxyAddressIsAKeyOnlyOnRequest) {
  MakeGuidDb(dir_.path(), {{"Ann", "{g-1}", 1}, {"alias@x", "{g-1}", 2}});
  StaticCache without;
  Load(without, false, false, false);
  EXPECT_EQ(MapOf(without, "ALIAS@X"), nullptr);
  EXPECT_EQ(MapOf(without, "ANN")->count(2), 1u);  // still a record of the group
  StaticCache with;
  Load(with, false, true, false);
  EXPECT_NE(MapOf(with, "ALIAS@X"), nullptr);
}

TEST_F(GUIDTableTest, OnlyTheLastSingleNameOfAGroupIsAKey) {
  MakeGuidDb(dir_.path(), {{"First", "{g-1}", 16}, {"Second", "{g-1}", 16}});
  StaticCache cache;
  Load(cache, false, false, false);
  const GuidRecordMap* map = MapOf(cache, "{G-1}");
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(map->size(), 2u);
  // Equal statuses keep query order in the map, so its last record is the
  // last row read.
  const std::string last = cachekey::Form(map->rbegin()->second.name);
  const std::string other = cachekey::Form(map->begin()->second.name);
  EXPECT_EQ(Keys(cache), (Lines{"{G-1}", last}));
  EXPECT_EQ(MapOf(cache, other), nullptr);
}

TEST_F(GUIDTableTest, NameInTwoGroupsResolvesToTheFirstGuid) {
  MakeGuidDb(dir_.path(), {{"shared", "{B-2}", 1}, {"shared", "{A-1}", 1}});
  StaticCache cache;
  Load(cache, false, false, false);
  EXPECT_EQ(MapOf(cache, "SHARED"), MapOf(cache, "{A-1}"));
  EXPECT_EQ(cache.keyCount(), 3u);
  EXPECT_EQ(counted_, Summary(2, 4, 4));  // both insertions counted
}

TEST_F(GUIDTableTest, EmptyTableStoresNothing) {
  MakeGuidDb(dir_.path(), {});
  StaticCache exchange;
  EXPECT_EQ(Load(exchange, false, true, false), 1);
  EXPECT_EQ(counted_, Summary(0, 0, 0));
  StaticCache lotus;
  EXPECT_EQ(Load(lotus, true, false, false), 1);
  EXPECT_TRUE(log_->has(-1, kLotusTag, Summary(0, 0, 0)));
  EXPECT_EQ(exchange.keyCount() + lotus.keyCount(), 0u);
}

// Rows with an empty (or NULL) GUID sort first; they must not be taken into
// the first real group, whose lookups would then answer with them.
TEST_F(GUIDTableTest, RowsWithEmptyGuidAreDropped) {
  MakeGuidDb(dir_.path(), {{"Ghost", "", 1}, {"Spook", "", 16}, {"Ann", "{a-1}", 1}});
  testsupport::ExecSql(dir_.file(GUIDDB_NAME), "INSERT INTO GUID VALUES ('Nully', NULL, 1);");
  for (bool lotus : {false, true}) {
    SCOPED_TRACE(lotus ? "Lotus Notes" : "Exchange");
    log_->clear();
    StaticCache cache;
    EXPECT_EQ(Load(cache, lotus, false, false), 1);
    std::string guid = lotus ? "{a-1}" : "{A-1}";
    EXPECT_EQ(Keys(cache), (Lines{guid, "ANN"}));
    ASSERT_NE(MapOf(cache, guid), nullptr);
    EXPECT_EQ(MapOf(cache, guid)->size(), 1u);
    EXPECT_EQ(counted_, Summary(1, 2, lotus ? 3 : 2));
  }
}

TEST_F(GUIDTableTest, EmptyNamesCountAsEmptyRecordsExceptInTheFourthList) {
  MakeGuidDb(dir_.path(),
             {{"", "{g-1}", 1}, {"Real", "{g-1}", 1}, {"", "{g-1}", 8}, {"", "{g-1}", 2}});
  StaticCache cache;
  Load(cache, false, true, false);
  EXPECT_EQ(Keys(cache), (Lines{"{G-1}", "REAL"}));
  // Empty name in the third and in the first list, empty single name.
  EXPECT_EQ(counted_, Summary(1, 2, 3));
}

TEST_F(GUIDTableTest, LongNameBecomesAKeyOfItsFirst10239Characters) {
  std::string name(10300, 'l');
  MakeGuidDb(dir_.path(), {{name, "{g-1}", 1}});
  StaticCache cache;
  Load(cache, false, false, false);
  EXPECT_EQ(Keys(cache), (Lines{"{G-1}", std::string(10239, 'L')}));
  EXPECT_EQ(MapOf(cache, "{G-1}")->begin()->second.name, name);
}

TEST_F(GUIDTableTest, FilterByGuidFormReadsOnlyTheAgentsGuids) {
  MakeGuidDb(dir_.path(), {{"Ann", "{a-1}", 1}, {"Gus", "cn=gus", 1}});
  StaticCache exchange;
  exchange.bFilterByGuidForm = true;
  Load(exchange, false, false, false);
  EXPECT_EQ(Keys(exchange), (Lines{"{A-1}", "ANN"}));
  StaticCache lotus;
  lotus.bFilterByGuidForm = true;
  Load(lotus, true, false, false);
  EXPECT_EQ(Keys(lotus), (Lines{"cn=gus", "GUS"}));
}

TEST_F(GUIDTableTest, ReadErrorKeepsEarlierGroupsAndDropsTheRest) {
  MakeGuidDb(dir_.path(), testsupport::NumberedGroupRows(400));
  testsupport::CorruptTableLeafPage(dir_.path(), 0.5);
  StaticCache cache;
  EXPECT_LT(Load(cache, true, false, false), 0);
  EXPECT_TRUE(log_->has(-1, kLotusTag,
                        "Error retrieving records for query [SELECT * FROM GUID order by GUID;]"));
  EXPECT_EQ(log_->count("Unique GUID: "), 1);
  EXPECT_NE(MapOf(cache, testsupport::NumberedGroupGuid(0)), nullptr);
  EXPECT_EQ(MapOf(cache, testsupport::NumberedGroupGuid(399)), nullptr);
  EXPECT_GT(cache.keyCount(), 0u);
}

TEST_F(GUIDTableTest, QueryThatCannotStartReturnsMinusOneWithoutSummary) {
  // A GUID table without a GUID column: the Exchange query cannot be
  // prepared.
  testsupport::ExecSql(dir_.file(GUIDDB_NAME),
                       "CREATE TABLE GUID (Name TEXT, Other TEXT, Status INTEGER);"
                       "INSERT INTO GUID VALUES ('Ann', '{1}', 1);");
  StaticCache cache;
  EXPECT_EQ(Load(cache, false, false, false), -1);
  EXPECT_EQ(log_->count("Unique GUID: "), 0) << log_->dump();
  EXPECT_EQ(cache.keyCount(), 0u);
}

TEST_F(GUIDTableTest, CountersCountEveryListAndTheFirstGroupKeepsAKey) {
  MakeGuidDb(dir_.path(), {{"Ann", "{1-2-3}", 1},
                           {"", "{1-2-3}", 1},
                           {"Carol", "{1-2-3}", 16},
                           {"", "{1-2-3}", 2},
                           {"alias", "{1-2-3}", 2},
                           {"ann", "{9}", 1}});
  StaticCache cache;
  EXPECT_EQ(Load(cache, false, true, false), 1);
  // {1-2-3}, ANN, CAROL, ALIAS; {9} and ANN again, offered but not stored.
  // Empty: the first group's third list and first-list name (not its proxy
  // name); the second's third list, single name and fourth list.
  EXPECT_EQ(counted_, Summary(2, 6, 5));
  EXPECT_EQ(MapOf(cache, "ANN"), MapOf(cache, "{1-2-3}"));
  EXPECT_EQ(cache.keyCount(), 5u);
}

TEST_F(GUIDTableTest, NarrowToUpperTruncatesAndKeepsHighBytes) {
  char buf[8];
  GUIDTable::ToUpper("abcdef", buf, 4);
  EXPECT_STREQ(buf, "ABC");
  GUIDTable::ToUpper("abc", buf, 1);
  EXPECT_STREQ(buf, "");
  GUIDTable::ToUpper("abc", nullptr, 8);  // nothing to write to
  GUIDTable::ToUpper("\xe9t\xc3\xa9", buf, 8);
  EXPECT_STREQ(buf, "\xe9T\xc3\xa9");  // bytes above 0x7f are not ASCII letters
}

TEST_F(GUIDTableTest, WideToUpperPassesCharactersFrom256Unchanged) {
  std::wstring src;
  src += L'a';
  src += static_cast<wchar_t>(0x161);  // low byte 'a': must not become 'A' or 0x141
  src += static_cast<wchar_t>(0x1f600);
  src += static_cast<wchar_t>(-5);
  src += L'z';
  wchar_t buf[8];
  GUIDTable::ToUpper(src, buf, 8);
  EXPECT_EQ(buf[0], L'A');
  EXPECT_EQ(buf[1], static_cast<wchar_t>(0x161));
  EXPECT_EQ(buf[2], static_cast<wchar_t>(0x1f600));
  EXPECT_EQ(buf[3], static_cast<wchar_t>(-5));
  EXPECT_EQ(buf[4], L'Z');
  EXPECT_EQ(buf[5], L'\0');
  GUIDTable::ToUpper(src, buf, 2);
  EXPECT_EQ(buf[0], L'A');
  EXPECT_EQ(buf[1], L'\0');
}

}  // namespace
