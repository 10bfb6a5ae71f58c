#include "lookups/refresh/RowDelta.h"

#include <unistd.h>

#include <algorithm>

#include "lookups/refresh/Manifest.h"
#include "support/GuidDBSupport.h"
#include "support/TestSupport.h"

namespace {

using testsupport::Row;

class RowDeltaTest : public ::testing::Test {
 protected:
  std::string Table(const std::string& name, const std::vector<Row>& rows) {
    const std::string folder = dir_.file(name);
    ::mkdir(folder.c_str(), 0700);
    testsupport::MakeGuidDb(folder, rows);
    return folder + "/GUIDDB.DAT";
  }
  static RowSetDigest DigestOf(const std::string& file) {
    RowSetDigest d;
    EXPECT_TRUE(RowSetDigest::OfFile(file, d).ok());
    return d;
  }
  RowDelta Delta(const std::string& before, const std::string& after) {
    RowDelta delta;
    EXPECT_TRUE(DiffTables(before, after, delta).ok());
    delta.fromId = "r1";
    delta.toId = "r2";
    delta.digest = DigestOf(after).Hex();
    return delta;
  }

  testsupport::TempDir dir_;
  testsupport::ScopedConfig config_{hostconfig::Knob::kLockDir, dir_.path()};
  // Duplicates, and names that need escaping on the wire.
  const std::vector<Row> before_ = {{"a@x", "{1}", 1},
                                    {"a@x", "{1}", 1},
                                    {"b@x", "{2}", 1},
                                    {"tab\there", "{3}", 2},
                                    {"gone@x", "{4}", 1}};
  const std::vector<Row> after_ = {{"a@x", "{1}", 1},          {"b@x", "{2}", 1},
                                   {"b@x", "{2}", 2},          {"tab\there", "{3}", 2},
                                   {"new\\line\nx", "{5}", 0}, {"c@x", "{6}", -7}};
};

TEST_F(RowDeltaTest, DigestIgnoresOrderCountsDuplicatesAndFollowsChanges) {
  std::vector<Row> shuffled(before_.rbegin(), before_.rend());
  std::vector<Row> once = before_;
  once.erase(once.begin());
  const RowSetDigest all = DigestOf(Table("a", before_)), lessOne = DigestOf(Table("c", once));
  EXPECT_EQ(all, DigestOf(Table("b", shuffled)));
  EXPECT_NE(all, lessOne);

  RowSetDigest d = all;
  d.Remove("a@x", "{1}", 1);
  EXPECT_EQ(d, lessOne);
  d.Add("a@x", "{1}", 1);
  EXPECT_EQ(d, all);
  RowSetDigest back;
  ASSERT_TRUE(RowSetDigest::FromHex(d.Hex(), back));
  EXPECT_EQ(d, back);
  for (const std::string& bad :
       std::vector<std::string>{"", "xyz", std::string(64, 'G'), std::string(63, '0')})
    EXPECT_FALSE(RowSetDigest::FromHex(bad, back)) << bad;
  EXPECT_FALSE(RowSetDigest::OfFile(dir_.file("missing"), back).ok());
}

TEST_F(RowDeltaTest, DeltaThroughItsBytesTurnsTheOldTableIntoTheNew) {
  const std::string old = Table("old", before_), now = Table("new", after_);
  RowDelta decoded;
  ASSERT_TRUE(DecodeRowDelta(EncodeRowDelta(Delta(old, now)), decoded).ok());
  EXPECT_EQ(2u, decoded.removed.size());  // one of the two "a@x" rows, and "gone@x"
  EXPECT_EQ(3u, decoded.added.size());
  EXPECT_EQ("r1", decoded.fromId);
  AccessLock held;
  RowSetDigest after;
  ASSERT_TRUE(ApplyRowDelta(held, old, decoded, DigestOf(Table("copy", before_)), after).ok());
  EXPECT_EQ(testsupport::ReadAllRows(now), testsupport::ReadAllRows(old));
  EXPECT_EQ(DigestOf(now), after);
}

TEST_F(RowDeltaTest, DamagedDeltaIsRefusedWhole) {
  const std::string gz = EncodeRowDelta(Delta(Table("old", before_), Table("new", after_)));
  std::string flipped = gz;
  flipped[gz.size() / 2] ^= 0x20;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"cut short", gz.substr(0, gz.size() - 9)},
      {"a byte flipped", flipped},
      {"garbage after it", gz + "x"},
      {"not gzip", "guidlookups row delta 1\n"},
      {"empty", ""},
  };
  RowDelta delta;
  for (const auto& [what, bytes] : cases)
    EXPECT_EQ(Status::Code::kCorruption, DecodeRowDelta(bytes, delta).code()) << what;
  EXPECT_FALSE(DecodeRowDelta(gz, delta, 64).ok()) << "unpacks past its bound";
  RowDelta lying = Delta(Table("old2", before_), Table("new2", after_));
  lying.fromId = "two words";
  EXPECT_FALSE(DecodeRowDelta(EncodeRowDelta(lying), delta).ok());
}

TEST_F(RowDeltaTest, DeltaThatDoesNotFitLeavesTheTableAsItWas) {
  const std::string old = Table("old", before_), now = Table("new", after_);
  const RowDelta good = Delta(old, now);
  RowDelta missingRow = good;
  missingRow.removed.push_back({"nobody@x", "{9}", 1});
  missingRow.added.push_back({"nobody@x", "{9}", 1});  // the digest still adds up
  const std::string bytes = testsupport::ReadFile(old);
  AccessLock held;
  RowSetDigest after;
  EXPECT_EQ(Status::Code::kRefused,
            ApplyRowDelta(held, old, missingRow, DigestOf(old), after).code());
  EXPECT_EQ(Status::Code::kRefused, ApplyRowDelta(held, old, good, RowSetDigest(), after).code())
      << "a table other than the delta's base";
  EXPECT_EQ(bytes, testsupport::ReadFile(old));
}

TEST_F(RowDeltaTest, CrashAtAnyStepOfTheApplyLeavesOneWholeTable) {
  const auto oldRows = testsupport::ReadAllRows(Table("base", before_));
  for (const char* crashAt : {"begun", "removed", "added", ""}) {
    const std::string old = Table(std::string("old-") + crashAt, before_);
    const std::string now = Table(std::string("new-") + crashAt, after_);
    const RowDelta delta = Delta(old, now);
    const RowSetDigest current = DigestOf(old);
    pid_t child = testsupport::ForkChild([&] {
      AccessLock held;
      RowSetDigest after;
      const Status s = ApplyRowDelta(held, old, delta, current, after, [&](const char* step) {
        if (std::string(step) == crashAt) ::_exit(9);
      });
      return s.ok() ? 0 : 1;
    });
    const int code = testsupport::WaitChild(child);
    const auto rows = testsupport::ReadAllRows(old);
    if (*crashAt) {
      EXPECT_EQ(9, code) << crashAt;
      EXPECT_EQ(oldRows, rows) << crashAt;
    } else {
      EXPECT_EQ(0, code);
      EXPECT_EQ(testsupport::ReadAllRows(now), rows);
    }
  }
}

}  // namespace

namespace {

TEST(ManifestTest, ReadsWhatThePublisherWritesAndRefusesTheRest) {
  Manifest m;
  ASSERT_TRUE(ParseManifest(
      R"({"id":"20261209T010203Z-1","time":"2026-12-09T01:02:03Z","rows":3,"guids":2,)"
      R"("digest":"ab","later":[1,{"x":null}],"files":[{"name":"GUIDDB.DAT","size":8192,)"
      R"("sha256":"00"}],"deltas":[{"from":"r0","name":"deltas/r0.delta.gz","size":9,)"
      R"("sha256":"11"}]})"
      "\n",
      m));
  EXPECT_EQ("20261209T010203Z-1", m.id);
  EXPECT_EQ(3, m.rows);
  EXPECT_EQ("ab", m.digest);
  ASSERT_EQ(1u, m.files.size());
  EXPECT_EQ(8192, m.files[0].size);
  ASSERT_EQ(1u, m.deltas.size());
  EXPECT_EQ("r0", m.deltas[0].from);
  EXPECT_EQ("deltas/r0.delta.gz", m.deltas[0].file.name);
  for (const char* bad : {"", "{", R"({"id":})", R"({"id":"a"} x)", R"({"rows":-})",
                          R"({"deltas":[{"from":1}]})", R"({"id":"\u00e9"})"})
    EXPECT_FALSE(ParseManifest(bad, m)) << bad;
}

}  // namespace
