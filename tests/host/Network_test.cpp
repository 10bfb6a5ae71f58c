// The network session against a real HTTP server on loopback: the control
// server script of tools/, in each of its fault modes.
#include "host/Network.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/ControlServer.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ClosedLoopbackPort;
using testsupport::ControlServer;
using testsupport::ControlServerScript;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

// Deterministic bytes of any length (the transfer does not look inside).
std::string Payload(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  return s;
}

// Files of `folder` other than "GUIDDB.DAT": a failed transfer leaves none.
std::vector<std::string> Leftovers(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (name != "GUIDDB.DAT") names.push_back(name);
  }
  return names;
}

class NetworkTest : public ::testing::Test {
 protected:
  NetworkTest()
      : settingsEnv_("GUIDLOOKUPS_SETTINGS_DIR", dir_.path()),
        instanceEnv_("GUIDLOOKUPS_INSTANCE", nullptr),
        serverEnv_("GUIDLOOKUPS_CONTROL_SERVER", nullptr),
        proxyEnv1_("http_proxy", nullptr),
        proxyEnv2_("HTTP_PROXY", nullptr),
        proxyEnv3_("https_proxy", nullptr),
        proxyEnv4_("HTTPS_PROXY", nullptr),
        proxyEnv5_("all_proxy", nullptr),
        proxyEnv6_("ALL_PROXY", nullptr) {}

  void SetUp() override {
    tempFolder_ = dir_.file("tmp");
    std::filesystem::create_directories(tempFolder_);
    served_ = dir_.file("served.dat");
    WriteFile(served_, Payload(200 * 1024));
  }

  // Writes the instance's settings: the temporary folder and, when given, the
  // base URL and transfer time-out.
  void WriteSettings(const std::string& url, int timeoutSeconds = 0,
                     const std::string& tempFolder = "") {
    std::string ini =
        "[Base]\ndMORVAXTEMPDIR=" + (tempFolder.empty() ? tempFolder_ : tempFolder) + "\n";
    if (!url.empty()) ini += "sControlServerURL=" + url + "\n";
    if (timeoutSeconds > 0) ini += "nControlServerTimeout=" + std::to_string(timeoutSeconds) + "\n";
    WriteFile(dir_.file("Instance001.ini"), ini);
  }

  // Attaches `net` to `url`; fails the test when that does not work.
  void Attach(CHxNetwork& net, const std::string& url) {
    bool flag = false;
    hxsExecuteRemoteDllType executables;
    CLmError err = net.Attach_RemoteDLL(url, &executables, "client-7", 10, flag);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    ASSERT_TRUE(net.IsConnected());
  }

  CLmError Fetch(CHxNetwork& net) {
    bool flag = false;
    hxsFilexferRequest request;
    return net.PutFileResponse(false, request, nullptr, -1, flag);
  }

  // A transfer that fails must leave the previous download whole and no
  // temporary file beside it.
  void ExpectFailedFetchLeavesOldFile(const std::string& mode, int32_t code,
                                      const std::string& fragment, int timeoutSeconds = 0) {
    ControlServer server(ControlServerScript(), served_, mode, 20);
    WriteSettings(server.url(), timeoutSeconds);
    std::string old = Payload(1000) + "previous download";
    WriteFile(tempFolder_ + "/GUIDDB.DAT", old);
    CHxNetwork net;
    Attach(net, server.url());
    CLmError err = Fetch(net);
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(err.Code(), code) << err.AsString();
    EXPECT_NE(err.AsString().find(fragment), std::string::npos) << err.AsString();
    EXPECT_EQ(ReadFile(tempFolder_ + "/GUIDDB.DAT"), old);
    EXPECT_TRUE(Leftovers(tempFolder_).empty());
  }

  TempDir dir_;
  ScopedEnv settingsEnv_, instanceEnv_, serverEnv_;
  ScopedEnv proxyEnv1_, proxyEnv2_, proxyEnv3_, proxyEnv4_, proxyEnv5_, proxyEnv6_;
  std::string tempFolder_;
  std::string served_;
};

TEST_F(NetworkTest, ControlServerUrlComesFromSettingsBeforeEnvironment) {
  ScopedEnv env("GUIDLOOKUPS_CONTROL_SERVER", "http://from-env:1");
  WriteSettings("http://from-settings:2/");
  std::string host;
  ASSERT_EQ(HXClient(2).getNetworkHostnameMangled(host, nullptr), 0);
  EXPECT_EQ(host, "http://from-settings:2");

  // Read at each use: a changed (here removed) setting is seen at once.
  WriteSettings("");
  ASSERT_EQ(HXClient(2).getNetworkHostnameMangled(host, nullptr), 0);
  EXPECT_EQ(host, "http://from-env:1");
}

TEST_F(NetworkTest, ControlServerUrlMustBeHttpOrHttps) {
  for (const char* bad :
       {"ftp://server/", "file:///etc", "server:80", "http://", "http:///x", "http://a b"}) {
    WriteSettings(bad);
    std::string host = "unchanged";
    EXPECT_EQ(HXClient(2).getNetworkHostnameMangled(host, nullptr), -1) << bad;
    EXPECT_EQ(host, "unchanged") << bad;
  }
  WriteSettings("HTTPS://server.example/hb//");
  std::string host;
  ASSERT_EQ(HXClient(2).getNetworkHostnameMangled(host, nullptr), 0);
  EXPECT_EQ(host, "HTTPS://server.example/hb");
}

TEST_F(NetworkTest, AttachRejectsNonHttpUrlWithoutConnecting) {
  CHxNetwork net;
  bool flag = false;
  CLmError err = net.Attach_RemoteDLL("file:///etc/passwd", nullptr, "c", 5, flag);
  EXPECT_EQ(err.Code(), hxerr::kInvalid);
  EXPECT_NE(err.AsString().find("file:///etc/passwd"), std::string::npos) << err.AsString();
  EXPECT_FALSE(net.IsConnected());
  EXPECT_EQ(net.GetConnectionStr(), "");
}

TEST_F(NetworkTest, AttachToRunningServerRemembersUrlAndClient) {
  ControlServer server(ControlServerScript(), served_);
  CHxNetwork net;
  EXPECT_EQ(net.GetConnectionStr(), "");
  Attach(net, server.url() + "/");
  EXPECT_EQ(net.GetConnectionStr(), server.url() + " as client-7");
  bool flag = false;
  EXPECT_FALSE(net.Disconnect(120, flag).IsError());
  EXPECT_FALSE(net.IsConnected());
  EXPECT_EQ(net.GetConnectionStr(), "");
}

TEST_F(NetworkTest, AttachToClosedPortReportsRefusedConnection) {
  std::string url = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
  CHxNetwork net;
  bool flag = false;
  CLmError err = net.Attach_RemoteDLL(url, nullptr, "c", 5, flag);
  EXPECT_EQ(err.Code(), hxerr::kNetwork);
  EXPECT_NE(err.AsString().find(url), std::string::npos) << err.AsString();
  EXPECT_NE(err.AsString().find("connection refused"), std::string::npos) << err.AsString();
  EXPECT_FALSE(net.IsConnected());
}

TEST_F(NetworkTest, AttachToUnresolvableHostSaysSo) {
  CHxNetwork net;
  bool flag = false;
  CLmError err = net.Attach_RemoteDLL("http://nonexistent.invalid", nullptr, "c", 5, flag);
  EXPECT_EQ(err.Code(), hxerr::kNetwork);
  EXPECT_NE(err.AsString().find("could not resolve host"), std::string::npos) << err.AsString();
  EXPECT_NE(err.AsString().find("nonexistent.invalid"), std::string::npos) << err.AsString();
  EXPECT_FALSE(net.IsConnected());
}

TEST_F(NetworkTest, TransferPutsWholeFileIntoTemporaryFolder) {
  ControlServer server(ControlServerScript(), served_);
  WriteSettings(server.url());
  WriteFile(tempFolder_ + "/GUIDDB.DAT", "an older download");
  CHxNetwork net;
  Attach(net, server.url());
  bool flag = false;
  hxsFilexferRequest request;
  CLmError err = net.PutFileResponse(false, request, nullptr, -1, flag);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(ReadFile(tempFolder_ + "/GUIDDB.DAT"), ReadFile(served_));
  EXPECT_EQ(request.size, 200u * 1024u);
  EXPECT_EQ(std::string(request.destinationPath), tempFolder_ + "/GUIDDB.DAT");
  EXPECT_TRUE(Leftovers(tempFolder_).empty());
  EXPECT_FALSE(flag);
}

TEST_F(NetworkTest, TransferWithoutTemporaryFolderSettingFails) {
  ControlServer server(ControlServerScript(), served_);
  CHxNetwork net;
  Attach(net, server.url());
  WriteFile(dir_.file("Instance001.ini"), "[Base]\nsControlServerURL=" + server.url() + "\n");
  CLmError err = Fetch(net);
  EXPECT_EQ(err.Code(), hxerr::kNotFound);
  EXPECT_NE(err.AsString().find("dMORVAXTEMPDIR"), std::string::npos) << err.AsString();
}

TEST_F(NetworkTest, HttpErrorStatusIsNamedAndLeavesOldFile) {
  ExpectFailedFetchLeavesOldFile("404", hxerr::kHttp, "HTTP 404");
}

TEST_F(NetworkTest, BodyClosedHalfWayIsShortAndLeavesOldFile) {
  ExpectFailedFetchLeavesOldFile("truncate", hxerr::kNetwork, "shorter than announced");
}

TEST_F(NetworkTest, StalledServerTimesOutAndLeavesOldFile) {
  // The server stalls 20 s; only the configured 2 s time-out can end the
  // transfer with an error.
  ExpectFailedFetchLeavesOldFile("slow", hxerr::kTimeout, "timed out", 2);
}

TEST_F(NetworkTest, ServerGoneAfterAttachReportsRefusedConnection) {
  ControlServer server(ControlServerScript(), served_);
  WriteSettings(server.url());
  CHxNetwork net;
  Attach(net, server.url());
  server.Stop();
  CLmError err = Fetch(net);
  EXPECT_EQ(err.Code(), hxerr::kNetwork);
  EXPECT_NE(err.AsString().find("connection refused"), std::string::npos) << err.AsString();
  EXPECT_TRUE(Leftovers(tempFolder_).empty());
}

TEST_F(NetworkTest, FullDiskFailsWithNoSpaceAndLeavesNoPartialFile) {
  // A file-size limit makes write(2) fail part-way through the body, as a
  // full file system would; the child process carries the limit alone.
  ControlServer server(ControlServerScript(), served_);
  WriteSettings(server.url());
  WriteFile(tempFolder_ + "/GUIDDB.DAT", "previous download");
  std::string report = dir_.file("report.txt");
  pid_t child = testsupport::ForkChild([&]() -> int {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64 * 1024, 64 * 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    CHxNetwork net;
    bool flag = false;
    if (net.Attach_RemoteDLL(server.url(), nullptr, "c", 10, flag).IsError()) return 11;
    CLmError err = Fetch(net);
    WriteFile(report, err.AsString());
    return err.Code() == hxerr::kNoSpace ? 0 : 12;
  });
  EXPECT_EQ(testsupport::WaitChild(child), 0) << ReadFile(report);
  EXPECT_EQ(ReadFile(tempFolder_ + "/GUIDDB.DAT"), "previous download");
  EXPECT_TRUE(Leftovers(tempFolder_).empty());
}

TEST_F(NetworkTest, ConcurrentSessionsEachReceiveTheWholeFile) {
  // Sessions of several threads share the one-time curl set-up and the
  // destination; each rename is atomic, so the file is always whole.
  ControlServer server(ControlServerScript(), served_);
  WriteSettings(server.url());
  const std::string expected = ReadFile(served_);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 3; ++i) {
        CHxNetwork net;
        bool flag = false;
        hxsFilexferRequest request;
        if (net.Attach_RemoteDLL(server.url(), nullptr, "c", 10, flag).IsError() ||
            net.PutFileResponse(false, request, nullptr, -1, flag).IsError())
          failures.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(ReadFile(tempFolder_ + "/GUIDDB.DAT"), expected);
  EXPECT_TRUE(Leftovers(tempFolder_).empty());
}

}  // namespace
