// guidlookup publish and sync: the web root's releases as a server and an agent see them.
#include <strings.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "GuidlookupTool.h"
#include "host/SQLite3.h"
#include "lookups/refresh/RowDelta.h"
#include "support/Nginx.h"
#include "support/Slapd.h"
#include "tools/Releases.h"

namespace tooltest {
namespace {

using guidlookup::ManifestText;
using guidlookup::ReadManifest;
using guidlookup::Release;
using guidlookup::Sha256File;

// The web root's releases, read the way a server sees them.
struct WebRoot {
  std::string root;
  std::string Live() const {
    std::error_code ignored;
    return std::filesystem::read_symlink(root + "/current", ignored).filename().string();
  }
  // What nginx's validators are made of, for both files of the live release.
  std::string Validators() const {
    std::string text;
    for (const char* name : {"/current/GUIDDB.DAT", "/current/GUIDDB.DAT.gz"}) {
      struct stat st {};
      if (stat((root + name).c_str(), &st) != 0) return "missing " + std::string(name);
      text += std::to_string(st.st_mtim.tv_sec) + "-" + std::to_string(st.st_size) + " ";
    }
    return text;
  }
  // Names a publisher writes while it works: staging folders, new links.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> found;
    for (const std::string& folder : {root, root + "/releases"})
      if (FileExists(folder))
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
          const std::string name = entry.path().filename().string();
          if (name[0] == '.' && name != ".publish.lock") found.push_back(entry.path().string());
        }
    return found;
  }
  size_t Releases() const {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/releases"))
      n += entry.path().filename().string()[0] != '.';
    return n;
  }
};

class PublishTest : public GuidlookupToolTest {
 protected:
  void SetUp() override {
    GuidlookupToolTest::SetUp();
    web_.root = dir_.file("www");
    std::filesystem::create_directories(web_.root);
  }
  // Imports `rows` addresses tagged `tag`; tables of one row count and tags
  // of one length have the same size.
  void ImportTagged(const std::string& tag, int rows = 2000) {
    std::string tsv;
    for (int i = 0; i < rows; ++i)
      tsv += "1\t{" + tag + std::to_string(i) + "}\tu" + std::to_string(i) + "@" + tag + ".test\n";
    WriteFile(dir_.file("rows.tsv"), tsv);
    // Each tag is a table of its own: no GUID in common with the last one.
    ToolRun run = RunHome({"import", "--no-progress", "--force", dir_.file("rows.tsv")});
    ASSERT_EQ(run.exitCode, 0) << Show(run);
  }
  // nginx with the shipped site's token server over the web root, and an
  // agent (home "agent") configured to refresh from it.
  static constexpr const char* kToken = "t0ken-of-the-site";
  void ServeShippedSite() {
    std::filesystem::create_directories(dir_.file("pki"));
    std::filesystem::create_directories(dir_.file("nginx"));
    pki_ = std::make_unique<testsupport::TestPki>(dir_.file("pki"));
    pki_->Issue("server", "IP:127.0.0.1");
    nginx_ = std::make_unique<testsupport::NginxServer>(
        dir_.file("nginx"), testsupport::ShippedTokenSite(web_.root, *pki_, kToken));
    url_ = "https://127.0.0.1:" + std::to_string(nginx_->port());
    WriteFile(dir_.file("agent.token"), std::string(kToken) + "\n");
    chmod(dir_.file("agent.token").c_str(), 0600);
    std::filesystem::create_directories(dir_.file("agent/tmp"));
    std::filesystem::create_directories(dir_.file("agent/settings"));
    WriteFile(dir_.file("agent/settings/Instance001.ini"),
              "[vTaskHost]\ndHOME=" + dir_.file("agent") + "\n[Base]\nsControlServerURL=" + url_ +
                  "\nsControlServerCAFile=" + pki_->caFile() + "\nsControlServerTokenFile=" +
                  dir_.file("agent.token") + "\ndMORVAXTEMPDIR=" + dir_.file("agent/tmp") + "\n");
  }
  ToolRun AgentRefresh() {
    return Run({"--home", dir_.file("agent"), "refresh", "--force", "--json"});
  }
  std::string AgentDatabase() { return dir_.file("agent") + "/JobResults/GUIDCacheDir/GUIDDB.DAT"; }
  // `rows` addresses of one GUID each; the first `changed` of them spelled
  // with `variant`, so that two tables differ in 2 x `changed` rows.
  void ImportVariant(char variant, int changed, int rows = 2000) {
    std::string tsv;
    for (int i = 0; i < rows; ++i)
      tsv += "1\t{T" + std::to_string(i) + "}\t" + (i < changed ? variant : 'u') +
             std::to_string(i) + "@t.test\n";
    WriteFile(dir_.file("rows.tsv"), tsv);
    ToolRun run = RunHome({"import", "--no-progress", "--force", dir_.file("rows.tsv")});
    ASSERT_EQ(run.exitCode, 0) << Show(run);
  }
  Release ManifestOf(const std::string& id) {
    Release r;
    std::string problem;
    EXPECT_TRUE(ReadManifest(web_.root + "/releases/" + id + "/manifest.json", r, problem))
        << problem;
    return r;
  }
  static std::string DigestOf(const std::string& file) {
    RowSetDigest digest;
    return RowSetDigest::OfFile(file, digest).ok() ? digest.Hex() : "unreadable";
  }
  ToolRun Publish(std::vector<std::string> more = {},
                  const std::map<std::string, std::string>& env = {}) {
    more.insert(more.begin(), {"publish", web_.root});
    return RunHome(more, env);
  }
  WebRoot web_;
  std::unique_ptr<testsupport::TestPki> pki_;
  std::unique_ptr<testsupport::NginxServer> nginx_;
  std::string url_;
};

// A web server's view while tables are published: every read of GUIDDB.DAT
// and of GUIDDB.DAT.gz is one whole published file, and once the new table
// is seen, its .gz is already the new one too. Publishing the same table
// again changes nothing, validators included.
TEST_F(PublishTest, PublishIsAtomicForAPollingReader) {
  const std::string dat = web_.root + "/GUIDDB.DAT", gz = dat + ".gz";
  auto gunzip = [&](const std::string& file) { return Capture("gzip -dc " + file); };
  ImportTagged("A", 20000);
  ToolRun run = Publish();
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  const std::string tableA = ReadFile(database_), gzA = ReadFile(gz);
  EXPECT_EQ(ReadFile(dat), tableA);
  EXPECT_EQ(gunzip(gz), tableA);
  struct stat before {};
  struct stat after {};
  stat(dat.c_str(), &before);
  run = Publish();
  EXPECT_NE(run.out.find("nothing was changed"), std::string::npos) << Show(run);
  stat(dat.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);

  ImportTagged("B", 20000);
  const std::string tableB = ReadFile(database_);
  std::atomic<bool> stop{false};
  std::set<std::string> datSeen, gzSeenAfterNew, gzSeen;
  std::thread poller([&] {
    for (bool last = false; !last;) {
      last = stop.load();
      const std::string d = ReadFile(dat), g = ReadFile(gz);
      datSeen.insert(d == tableA ? "A" : d == tableB ? "B" : "partial");
      gzSeen.insert(g);
      if (d == tableB) gzSeenAfterNew.insert(g);
    }
  });
  run = Publish();
  stop.store(true);
  poller.join();
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  const std::string gzB = ReadFile(gz);
  EXPECT_EQ(gunzip(gz), tableB);
  EXPECT_EQ(datSeen.count("partial"), 0u);
  EXPECT_EQ(gzSeenAfterNew, std::set<std::string>{gzB});
  for (const std::string& g : gzSeen) EXPECT_TRUE(g == gzA || g == gzB) << g.size() << " bytes";
}

// An agent behind the shipped nginx site (token-only server): both files
// come from the live release, the .gz to a client that accepts gzip; a
// same-size table published within the same second moves the validators of
// both, and the agent downloads it rather than being told "not modified";
// a rollback is downloaded again too.
TEST_F(PublishTest, AgentBehindTheShippedSiteSeesEveryRelease) {
  if (testsupport::NginxProgram().empty() || testsupport::OpensslProgram().empty())
    GTEST_SKIP() << "nginx or openssl is not installed";
  ServeShippedSite();
  // Headers and body of GUIDDB.DAT as curl gets them, with or without gzip.
  auto fetch = [&](bool gzip) {
    const std::string command =
        "curl -sS --cacert " + pki_->caFile() + " -H 'Authorization: Bearer " + kToken + "'" +
        (gzip ? " -H 'Accept-Encoding: gzip'" : "") + " -D " + dir_.file("headers") + " -o " +
        dir_.file("body") + " " + url_ + "/GUIDDB.DAT";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::string headers;
    for (const std::string& line : Lines(ReadFile(dir_.file("headers"))))
      for (const char* name : {"ETag:", "Last-Modified:", "Content-Encoding:"})
        if (strncasecmp(line.c_str(), name, strlen(name)) == 0) headers += line;
    return std::make_pair(headers, ReadFile(dir_.file("body")));
  };
  auto agentRefresh = [&]() { return AgentRefresh(); };

  // Tables A and B differ in one address only, so that both their files
  // and their gzip copies are of one size; B waits in a home of its own,
  // so that A's publish, the agent's download of A and B's publish fit in
  // one second.
  auto importInto = [&](const std::string& home, char letter) {
    std::string tsv;
    for (int i = 0; i < 2000; ++i)
      tsv += "1\t{T" + std::to_string(i) + "}\t" + (i == 7 ? letter : 'u') + std::to_string(i) +
             "@t.test\n";
    WriteFile(dir_.file("rows.tsv"), tsv);
    ASSERT_EQ(Run({"--home", home, "import", "--no-progress", dir_.file("rows.tsv")}).exitCode, 0);
  };
  const std::string homeB = dir_.file("homeB");
  importInto(homeB, 'd');
  importInto(home_, 'c');
  for (timespec now{}; clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_nsec > 50000000;)
    usleep(10000);
  ASSERT_EQ(Publish().exitCode, 0);
  auto sizes = [&]() {
    return std::to_string(std::filesystem::file_size(web_.root + "/current/GUIDDB.DAT")) + " " +
           std::to_string(std::filesystem::file_size(web_.root + "/current/GUIDDB.DAT.gz"));
  };
  const std::string releaseA = web_.Live(), sizesA = sizes();
  auto plainA = fetch(false), gzipA = fetch(true);
  ToolRun run = agentRefresh();
  EXPECT_EQ(Json(run.out, "d['done']"), "\"downloaded\"") << Show(run);
  ASSERT_EQ(Run({"--home", homeB, "publish", web_.root}).exitCode, 0);
  // B differs from A in one row: the agent takes its delta.
  run = agentRefresh();
  EXPECT_EQ(Json(run.out, "d['done']"), "\"delta\"") << Show(run);
  EXPECT_EQ(Run({"--home", dir_.file("agent"), "resolve", "--no-refresh", "d7@t.test"}).exitCode,
            0);
  EXPECT_EQ(Json(agentRefresh().out, "d['done']"), "\"not-modified\"");
  auto plainB = fetch(false), gzipB = fetch(true);
  EXPECT_EQ(plainB.second, ReadFile(web_.root + "/current/GUIDDB.DAT"));
  EXPECT_EQ(gzipB.second, ReadFile(web_.root + "/current/GUIDDB.DAT.gz"));
  EXPECT_NE(gzipB.first.find("gzip"), std::string::npos) << gzipB.first;
  EXPECT_EQ(plainB.first.find("gzip"), std::string::npos) << plainB.first;
  EXPECT_NE(plainB.first, plainA.first);
  EXPECT_NE(gzipB.first, gzipA.first);
  // The sizes are equal: only the times can have moved the validators.
  ASSERT_EQ(sizes(), sizesA);

  run = Publish({"--rollback"});
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_EQ(web_.Live(), releaseA);
  EXPECT_NE(fetch(false).first, plainB.first);
  EXPECT_NE(fetch(true).first, gzipB.first);
  run = agentRefresh();
  EXPECT_EQ(Json(run.out, "d['done']"), "\"downloaded\"") << Show(run);
  EXPECT_EQ(Run({"--home", dir_.file("agent"), "resolve", "--no-refresh", "c7@t.test"}).exitCode,
            0);
  run = Publish({"--status", "--json"});
  EXPECT_EQ(Json(run.out,
                 "[d['live'], [[r['live'], r['rows'], r['guids']] for r in "
                 "d['releases']]]"),
            "[\"" + releaseA + "\", [[true, 2000, 2000], [false, 2000, 2000]]]")
      << Show(run);
}

// A publish stopped at each of its steps before the switch leaves the live
// release and its validators as they were; a signal it handles ends it with
// one line and 128 + the signal, and what a killed one left is removed by
// the next publish, which goes through.
TEST_F(PublishTest, PublishStoppedAtAnyStepLeavesTheLiveRelease) {
  struct Case {
    const char* step;
    int sig;
    bool oneLine;  // the process handles the signal
  };
  const Case cases[] = {{"staged", SIGKILL, false},
                        {"renamed", SIGKILL, false},
                        {"staged", SIGTERM, true},
                        {"renamed", SIGINT, true}};
  ImportTagged("A");
  ASSERT_EQ(Publish().exitCode, 0);
  char tag = 'B';
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.step) + " " + strsignal(c.sig));
    const std::string live = web_.Live(), validators = web_.Validators();
    ImportTagged(std::string(1, tag++));
    ToolRun run = Publish(
        {}, {{"GUIDLOOKUP_TEST_STOP_AT", std::string(c.step) + ":" + std::to_string(c.sig)}});
    EXPECT_EQ(run.exitCode, 128 + c.sig) << Show(run);
    EXPECT_EQ(web_.Live(), live);
    EXPECT_EQ(web_.Validators(), validators);
    if (c.oneLine) {
      EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
      EXPECT_TRUE(web_.Leftovers().empty());
    }
    run = Publish();
    ASSERT_EQ(run.exitCode, 0) << Show(run);
    EXPECT_TRUE(web_.Leftovers().empty()) << web_.Leftovers()[0];
    EXPECT_NE(web_.Live(), live);
    EXPECT_EQ(ReadFile(web_.root + "/GUIDDB.DAT"), ReadFile(database_));
  }
}

// A full disk (every file capped below the table's size) fails the publish:
// the live release stays, nothing half made is left.
TEST_F(PublishTest, PublishOntoAFullDiskLeavesTheLiveRelease) {
  ImportTagged("A", 50);
  ASSERT_EQ(Publish().exitCode, 0);
  const std::string live = web_.Live(), validators = web_.Validators();
  ImportTagged("B", 5000);
  ToolRun run =
      Finish(StartHome({"publish", web_.root}, -1, std::filesystem::file_size(database_) / 2));
  EXPECT_EQ(run.exitCode, 3) << Show(run);
  EXPECT_EQ(run.err,
            "guidlookup: publish failed, release " + live +
                " stays live: cannot write the new release's GUIDDB.DAT: File too large\n");
  EXPECT_EQ(web_.Live(), live);
  EXPECT_EQ(web_.Validators(), validators);
  EXPECT_TRUE(web_.Leftovers().empty());
  EXPECT_EQ(Publish({"--verify"}).exitCode, 0);
}

// Publishers of one web root take turns on its lock: none removes another's
// staging folder as a dead one's, each makes its release whole, and the
// live one is one of them.
TEST_F(PublishTest, ConcurrentPublishersTakeTurns) {
  std::vector<std::string> homes;
  for (int i = 0; i < 3; ++i) {
    homes.push_back(dir_.file("home" + std::to_string(i)));
    WriteGeneratedDirectory("rows.tsv", static_cast<char>('a' + i), 3000);
    ASSERT_EQ(
        Run({"--home", homes.back(), "import", "--no-progress", dir_.file("rows.tsv")}).exitCode,
        0);
  }
  std::vector<Started> runs;
  for (const std::string& home : homes)
    runs.push_back(Start({"--home", home, "publish", web_.root}));
  for (const Started& started : runs) {
    ToolRun run = Finish(started);
    EXPECT_EQ(run.exitCode, 0) << Show(run);
  }
  EXPECT_EQ(web_.Releases(), 3u);
  EXPECT_TRUE(web_.Leftovers().empty()) << web_.Leftovers()[0];
  ToolRun run = Publish({"--verify"});
  EXPECT_EQ(run.exitCode, 0) << Show(run);
  std::set<std::string> tables;
  for (const std::string& home : homes)
    tables.insert(ReadFile(home + "/JobResults/GUIDCacheDir/GUIDDB.DAT"));
  EXPECT_EQ(tables.count(ReadFile(web_.root + "/current/GUIDDB.DAT")), 1u);
}

// The table's own folder is never a web root: not itself, not a folder
// that holds it, not one inside it. Nothing is made there.
TEST_F(PublishTest, TheGuidCacheFolderIsRefused) {
  ImportTagged("A", 10);
  std::filesystem::create_directories(cache_ + "/inside");
  for (const std::string& root : {cache_, home_, cache_ + "/inside", cache_ + "/../GUIDCacheDir"}) {
    SCOPED_TRACE(root);
    const auto before = Snapshot(home_, IsRunOutput);
    ToolRun run = ExpectExit(2, {"publish", root});
    EXPECT_NE(run.err.find("GUID cache folder"), std::string::npos) << run.err;
    EXPECT_EQ(Snapshot(home_, IsRunOutput), before);
  }
}

// A web root of the flat layout is taken over without a new download for
// the agents (its files are the first release, same inodes); releases
// beyond --keep go, the live one never; --verify names a damaged file.
// Each release carries its table's digest and the deltas from the earlier
// releases it keeps, those under a quarter of its .gz: a table that shares
// no row with the last one gets none from it. The deltas are listed,
// verified with the release and shown by --status.
TEST_F(PublishTest, ReleasesCarryTheirDigestAndSmallDeltas) {
  ImportVariant('a', 0);
  ASSERT_EQ(Publish().exitCode, 0);
  const std::string first = web_.Live();
  ImportVariant('b', 10);
  ASSERT_EQ(Publish().exitCode, 0);
  const std::string second = web_.Live();
  ImportVariant('c', 20);
  ASSERT_EQ(Publish().exitCode, 0);
  Release r = ManifestOf(web_.Live());
  EXPECT_EQ(r.digest, DigestOf(database_));
  ASSERT_EQ(r.deltas.size(), 2u);
  EXPECT_EQ(r.deltas[0].from, second);
  EXPECT_EQ(r.deltas[1].from, first);
  EXPECT_EQ(r.deltas[1].file.name, "deltas/" + first + ".delta.gz");
  RowDelta delta;
  ASSERT_TRUE(
      DecodeRowDelta(ReadFile(web_.root + "/current/" + r.deltas[0].file.name), delta).ok());
  // Rows 0-9 go from 'b' to 'c', rows 10-19 from 'u' to 'c'.
  EXPECT_EQ(delta.removed.size(), 20u);
  EXPECT_EQ(delta.added.size(), 20u);
  EXPECT_EQ(delta.toId, r.id);
  EXPECT_EQ(ReadFile(web_.root + "/manifest.json"), ReadFile(web_.root + "/current/manifest.json"));
  ToolRun run = Publish({"--status"});
  EXPECT_NE(
      run.out.find("delta from " + first + ": " + std::to_string(r.deltas[1].file.size) + " bytes"),
      std::string::npos)
      << Show(run);
  EXPECT_EQ(Publish({"--verify"}).exitCode, 0);
  WriteFile(web_.root + "/current/" + r.deltas[0].file.name, "damaged");
  EXPECT_EQ(Publish({"--verify"}).exitCode, 3);

  ImportTagged("Z");
  ASSERT_EQ(Publish().exitCode, 0);
  EXPECT_TRUE(ManifestOf(web_.Live()).deltas.empty());
}

// An agent behind the shipped site follows the releases by their deltas,
// one and two releases behind, and ends with the rows a full download
// gives: same digest, same answers in shared and private mode. A live
// release that is its own moves nothing.
TEST_F(PublishTest, AgentFollowsTheReleasesByDelta) {
  if (testsupport::NginxProgram().empty() || testsupport::OpensslProgram().empty())
    GTEST_SKIP() << "nginx or openssl is not installed";
  ServeShippedSite();
  ImportVariant('a', 0);
  ASSERT_EQ(Publish().exitCode, 0);
  ToolRun run = AgentRefresh();
  ASSERT_EQ(Json(run.out, "[d['done'], d['release']]"), "[\"downloaded\", \"" + web_.Live() + "\"]")
      << Show(run);
  const long long full = std::stoll(Json(run.out, "d['bytesFetched']"));
  EXPECT_EQ(Json(run.out, "d['seconds'] > 0"), "true") << Show(run);
  struct Step {
    std::vector<char> variants;  // one publish each before the refresh
    const char* done;
    const char* changed;  // [removed, added]
  };
  const Step steps[] = {
      {{'b'}, "delta", "[10, 10]"}, {{'c', 'd'}, "delta", "[10, 10]"}, {{}, "not-modified", ""}};
  for (const Step& step : steps) {
    for (char v : step.variants) {
      ImportVariant(v, 10);
      ASSERT_EQ(Publish().exitCode, 0);
    }
    run = AgentRefresh();
    EXPECT_EQ(Json(run.out, "[d['done'], d['release']]"),
              "[\"" + std::string(step.done) + "\", \"" + web_.Live() + "\"]")
        << Show(run);
    if (*step.changed) {
      EXPECT_EQ(Json(run.out, "[d['rowsRemoved'], d['rowsAdded']]"), step.changed);
      EXPECT_LT(std::stoll(Json(run.out, "d['bytesFetched']")) * 10, full) << Show(run);
    }
    EXPECT_EQ(DigestOf(AgentDatabase()), ManifestOf(web_.Live()).digest);
  }
  run = Run({"--home", dir_.file("agent"), "info", "--json"});
  EXPECT_EQ(Json(run.out, "[d['database']['release'], d['database']['digest']]"),
            "[\"" + web_.Live() + "\", \"" + DigestOf(database_) + "\"]")
      << Show(run);
  run = Run({"--home", dir_.file("agent"), "check", "--json"});
  EXPECT_EQ(Json(run.out, "[c['level'] for c in d['checks'] if c['check'] == 'release']"),
            "[\"ok\"]")
      << Show(run);
  // A second agent takes the whole file: same rows, same answers.
  const std::string byDelta = ReadFile(AgentDatabase());
  std::filesystem::remove(AgentDatabase());
  ASSERT_EQ(Json(AgentRefresh().out, "d['done']"), "\"downloaded\"");
  EXPECT_EQ(DigestOf(AgentDatabase()), ManifestOf(web_.Live()).digest);
  const std::vector<std::string> keys = {"d3@t.test", "u3@t.test", "c3@t.test", "u1999@t.test"};
  for (const char* mode : {"--json", "--private"}) {
    auto answers = [&] {
      std::vector<std::string> args = {"--home",       dir_.file("agent"), "resolve",
                                       "--no-refresh", "--json",           mode};
      args.insert(args.end(), keys.begin(), keys.end());
      return Run(args).out;
    };
    const std::string fromFull = answers();
    WriteFile(AgentDatabase(), byDelta);
    EXPECT_EQ(answers(), fromFull) << mode;
    std::filesystem::remove(AgentDatabase());
    ASSERT_EQ(Json(AgentRefresh().out, "d['done']"), "\"downloaded\"");
  }
}

// Whatever is wrong with the way by a delta, the agent takes the whole
// table and ends with the live release's rows, whole.
TEST_F(PublishTest, ADeltaThatCannotBeUsedGivesTheWholeTable) {
  if (testsupport::NginxProgram().empty() || testsupport::OpensslProgram().empty())
    GTEST_SKIP() << "nginx or openssl is not installed";
  ServeShippedSite();
  const std::string settings = ReadFile(dir_.file("agent/settings/Instance001.ini"));
  // Replaces the live release's delta from `from` by `gz`, listed as it is.
  auto replaceDelta = [&](const std::string& from, const std::string& gz) {
    Release r = ManifestOf(web_.Live());
    for (ManifestDelta& d : r.deltas)
      if (d.from == from) {
        WriteFile(web_.root + "/current/" + d.file.name, gz);
        Sha256File(web_.root + "/current/" + d.file.name, d.file.sha256, d.file.size);
      }
    // The publisher's time stays: nginx's ETag is time and size, and a time
    // of now could give back the ETag of the manifest the agent last saw.
    const std::string manifest = web_.root + "/current/manifest.json";
    const auto published = std::filesystem::last_write_time(manifest);
    WriteFile(manifest, ManifestText(r));
    std::filesystem::last_write_time(manifest, published);
  };
  auto realDelta = [&](const std::string& from, RowDelta& delta) {
    const std::string gz = ReadFile(web_.root + "/current/deltas/" + from + ".delta.gz");
    ASSERT_TRUE(DecodeRowDelta(gz, delta).ok());
  };
  struct Case {
    const char* name;
    std::function<void(const std::string& from)> spoil;
  };
  const Case cases[] = {
      {"truncated",
       [&](const std::string& from) {
         const std::string gz = ReadFile(web_.root + "/current/deltas/" + from + ".delta.gz");
         replaceDelta(from, gz.substr(0, gz.size() / 2));
       }},
      {"corrupt",
       [&](const std::string& from) {
         std::string gz = ReadFile(web_.root + "/current/deltas/" + from + ".delta.gz");
         gz[gz.size() / 2] ^= 0x55;
         replaceDelta(from, gz);
       }},
      {"not the listed file",
       [&](const std::string& from) {
         WriteFile(web_.root + "/current/deltas/" + from + ".delta.gz", "other");
       }},
      {"over the agent's size bound",
       [&](const std::string& from) {
         const auto table = std::filesystem::file_size(web_.root + "/current/GUIDDB.DAT");
         WriteFile(dir_.file("agent/settings/Instance001.ini"),
                   settings + "nControlServerMaxBytes=" + std::to_string(table + 4096) + "\n");
         replaceDelta(from, std::string(table + 65536, 'x'));
       }},
      {"removes a row the table does not have",
       [&](const std::string& from) {
         RowDelta delta;
         realDelta(from, delta);
         const SGuidRecord ghost{"ghost@t.test", "{G}", 1};
         delta.removed.push_back(ghost);
         delta.added.push_back(ghost);  // the digest still adds up
         replaceDelta(from, EncodeRowDelta(delta));
       }},
      {"leads elsewhere",
       [&](const std::string& from) {
         RowDelta delta;
         realDelta(from, delta);
         delta.added.pop_back();
         replaceDelta(from, EncodeRowDelta(delta));
       }},
      {"no manifest",
       [&](const std::string&) { std::filesystem::remove(web_.root + "/current/manifest.json"); }},
      {"no delta from the agent's release",
       [&](const std::string& from) {
         std::filesystem::remove(web_.root + "/current/deltas/" + from + ".delta.gz");
       }},
      {"table edited locally",
       [&](const std::string&) {
         {
           FX::CSQLite3DB db(AgentDatabase(), false);
           db.ExecDML("UPDATE GUID SET Name = 'x@t.test' WHERE Name = 'u1999@t.test';");
         }
         ToolRun check = Run({"--home", dir_.file("agent"), "check", "--json"});
         EXPECT_EQ(Json(check.out, "[c['level'] for c in d['checks'] if c['check'] == 'release']"),
                   "[\"warning\"]")
             << Show(check);
       }},
  };
  char variant = 'a';
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir_.file("agent/settings/Instance001.ini"), settings);
    ImportVariant(variant++, 10);
    ASSERT_EQ(Publish().exitCode, 0);
    // The agent's own release, by whichever way.
    ASSERT_EQ(Json(AgentRefresh().out, "d['release']"), "\"" + web_.Live() + "\"");
    const std::string from = web_.Live();
    ImportVariant(variant++, 10);
    ASSERT_EQ(Publish().exitCode, 0);
    const std::string live = ManifestOf(web_.Live()).digest;
    c.spoil(from);
    ToolRun run = AgentRefresh();
    EXPECT_EQ(Json(run.out, "d['done']"), "\"downloaded\"") << Show(run);
    EXPECT_EQ(DigestOf(AgentDatabase()), live);
    EXPECT_EQ(Run({"--home", dir_.file("agent"), "info"}).exitCode, 0);
  }
}

TEST_F(PublishTest, FlatLayoutIsTakenOverAndOldReleasesGo) {
  ImportTagged("A", 100);
  std::filesystem::copy_file(database_, web_.root + "/GUIDDB.DAT");
  // What the flat layout's publisher left when it was killed.
  WriteFile(web_.root + "/.GUIDDB.DAT.gz.tmpAb12Cd", "partial");
  struct stat flat {};
  stat((web_.root + "/GUIDDB.DAT").c_str(), &flat);
  ToolRun run = Publish({"--json"});
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_EQ(Json(run.out, "[d['tookOver'], d['changed']]"), "[true, false]");
  struct stat now {};
  stat((web_.root + "/GUIDDB.DAT").c_str(), &now);
  EXPECT_EQ(now.st_ino, flat.st_ino);
  EXPECT_TRUE(std::filesystem::is_symlink(web_.root + "/GUIDDB.DAT"));
  EXPECT_TRUE(web_.Leftovers().empty()) << web_.Leftovers()[0];

  for (const char* tag : {"B", "C", "D"}) {
    ImportTagged(tag, 100);
    ASSERT_EQ(Publish({"--keep", "2"}).exitCode, 0);
  }
  EXPECT_EQ(web_.Releases(), 2u);
  run = Publish({"--rollback"});
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  ImportTagged("E", 100);
  ASSERT_EQ(Publish({"--keep", "1"}).exitCode, 0);
  EXPECT_EQ(web_.Releases(), 1u);

  EXPECT_EQ(Publish({"--verify"}).exitCode, 0);
  const std::string gz = web_.root + "/current/GUIDDB.DAT.gz";
  std::string bytes = ReadFile(gz);
  bytes[bytes.size() / 2] ^= 1;
  WriteFile(gz, bytes);
  run = Publish({"--verify"});
  EXPECT_EQ(run.exitCode, 3) << Show(run);
  EXPECT_NE(run.out.find("GUIDDB.DAT.gz: its SHA-256 is not the manifest's"), std::string::npos)
      << run.out;
}

// The daily chain in one command: sync imports the profile's directory
// (slapd, verified TLS, paged) and publishes into the web root that the
// shipped nginx site serves; the agent refreshes from it. check reads the
// same profile; a profile sync cannot use changes nothing.
TEST_F(PublishTest, SyncFromTheDirectoryReachesTheAgent) {
  if (testsupport::SlapdProgram().empty() || testsupport::NginxProgram().empty())
    GTEST_SKIP() << "slapd or nginx is not installed";
  testsupport::SlapdServer slapd(dir_.file(""));
  slapd.Add(Mailboxes(5));
  ServeShippedSite();
  const std::string profile =
      "[Sync]\nsDirectoryURI=" + slapd.ldapsUri() +
      "\nsDirectoryBase=dc=corp,dc=test\nsDirectoryBindDN=cn=reader,dc=corp,dc=test\n"
      "sDirectoryPasswordFile=" +
      slapd.readerPasswordFile() + "\nsDirectoryCAFile=" + slapd.pki().caFile() +
      "\nnDirectoryPageSize=2\nnReleasesKept=3\n";
  WriteSettings(profile + "dWebRoot=" + web_.root + "\n");
  const std::string findings =
      "sorted(set(c['check'] + ' ' + c['level'] for c in d['checks'] if c['check'] in "
      "('sync profile', 'web root', 'directory', 'refresh source')))";
  ToolRun run = RunHome({"check", "--online", "--json"});
  EXPECT_EQ(Json(run.out, findings),
            "[\"directory ok\", \"refresh source ok\", \"sync profile ok\", \"web root ok\", "
            "\"web root warning\"]")
      << run.out;

  run = RunHome({"sync", "--json"});
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_EQ(Json(run.out, "[d[0]['rowsAdded'], d[1]['changed'], d[1]['rows']]", true),
            "[5, true, 5]");
  run = AgentRefresh();
  EXPECT_EQ(Json(run.out, "d['done']"), "\"downloaded\"") << Show(run);
  EXPECT_EQ(Run({"--home", dir_.file("agent"), "resolve", "--no-refresh", "u3@corp.test"}).exitCode,
            0);
  run = RunHome({"sync", "--json"});
  EXPECT_EQ(Json(run.out, "d[1]['changed']", true), "false") << Show(run);
  EXPECT_EQ(Json(RunHome({"check", "--json"}).out, findings),
            "[\"refresh source ok\", \"sync profile ok\", \"web root ok\"]");

  // What sync refuses: the live release, the local table and the web root
  // stay as they were.
  struct Case {
    std::string settings;
    int exitCode;
    std::string says;
  };
  const Case cases[] = {
      {profile, 3, "no [Sync] dWebRoot"},
      {profile + "dWebRoot=" + home_ + "/JobResults\n", 2, "GUID cache folder"},
      {"[Sync]\nsDirectoryURI=ldaps://127.0.0.1:1\nsDirectoryBase=dc=corp,dc=test\ndWebRoot=" +
           web_.root + "\nnDirectoryTimeout=5\n",
       3, "sync stopped at the import: "},
  };
  const std::string live = web_.Live(), validators = web_.Validators();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    WriteSettings(c.settings);
    const Kept kept = Keep();
    run = RunHome({"sync"});
    EXPECT_EQ(run.exitCode, c.exitCode) << Show(run);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    ExpectUnchanged(kept);
    EXPECT_EQ(web_.Live(), live);
    EXPECT_EQ(web_.Validators(), validators);
  }
  WriteSettings(profile + "dWebRoot=" + web_.root + "\n");
  run = ExpectExit(0, {"sync", "--dry-run", "--json"});
  EXPECT_EQ(Json(run.out, "d[-1]", true), "{\"dryRun\": true, \"published\": false}");
  EXPECT_EQ(web_.Validators(), validators);
  // check refuses a password file others may read, as the import would.
  chmod(slapd.readerPasswordFile().c_str(), 0644);
  run = RunHome({"check", "--json"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(
      Json(run.out, findings),
      "[\"refresh source ok\", \"sync profile error\", \"sync profile ok\", \"web root ok\"]");
}

}  // namespace
}  // namespace tooltest
