// The pool session against a fake server on loopback, a fake Client host and a fake clock that
// every wait of the client moves forward.
#include "pool/pool_client.h"

#include <gtest/gtest.h>

#include <fstream>

#include "chia/blake3_hash.h"
#include "chia/deployment.h"
#include "manager/client.h"
#include "pool/pool_session.h"
#include "pool/pool_share_request.h"
#include "pool/pool_socket.h"
#include "pool/watchdog.h"
#include "runtime/option_values.h"
#include "runtime/stop_requested.h"
#include "tests/child_process.h"
#include "tests/pool/fake_pool_server.h"
#include "tests/runtime/file_test_support.h"

namespace {

using fake_pool::Bytes;

class FakeClient : public Client {
 public:
  FakeClient() { StartupScanPending = 0; }
  bool IsFinished() override { return finished; }
  uint32_t RequestShutdown(bool) override { return ++shutdowns, 0; }
  void SubmitSignagePoint(std::shared_ptr<SignagePointRequest> r, uint64_t ms) override {
    submitted.emplace_back(std::static_pointer_cast<PoolShareRequest>(r), ms);
  }
  std::vector<HelloCandidate> HelloCandidates() override {
    if (throwing) throw 7;
    return plots;
  }
  // Plots whose first id byte is 0xf fail; the proof is the id's first byte 64 times.
  int ProveHelloPlot(const PlotIdBytes& id, const uint8_t*, uint64_t, uint32_t p[64]) override {
    finished = ++proofCalls >= finishAfter;
    std::fill(p, p + 64, id[0]);
    return id[0] == 0xf ? -1 : proofResult;
  }
  std::atomic<bool> finished{false};
  bool throwing = false;
  int shutdowns = 0, proofCalls = 0, finishAfter = 1000, proofResult = 1;
  std::vector<HelloCandidate> plots{{{7}, 5, "p"}};
  std::vector<std::pair<std::shared_ptr<PoolShareRequest>, uint64_t>> submitted;
};

struct Harness {
  fake_pool::Server server{28};
  TestDirectory folder;
  FakeClient client;
  // Each harness starts later than the session state left by the one before.
  inline static int64_t base = SteadySeconds();
  std::atomic<int64_t> steady{base += 1000};
  fake_pool::Key16 key{uint8_t(steady.load() >> 3), uint8_t(steady.load() >> 11), 1};
  std::vector<int> downloads;
  UpdaterState state = UpdaterState::Idle, reached = UpdaterState::Downloading;
  Watchdog watchdog{{[] { return int64_t{0}; }, [] {}}};
  PoolClient pool{Setup()};

  PoolClientSetup Setup() {
    std::ofstream(folder.Path() / "addresses") << "127.0.0.28\n";
    SettingsCacheInstance().CachedServerAddresses.clear();
    PoolClientSetup s;
    s.resolver.addressFolder = folder.Path();
    s.resolver.now = [] { return int64_t{time(nullptr)}; };
    s.resolver.lookup = [](const std::string& node, const std::string& service, int family,
                           std::vector<ResolvedAddress>& out) {
      return LookUpAddresses(node, service, family, AI_NUMERICHOST, out);
    };
    s.service = server.Port(), s.socketTimeout = 0.2;
    s.poolPublicKey = ActiveDeployment().poolPublicKey;
    s.serverKey = ActiveDeployment().serverKey, s.updateKey = ActiveDeployment().updateKey;
    s.steadySeconds = [this] { return steady.load(); };
    s.sleepSecond = [this] { ++steady; };
    s.client = [this] { return &client; };
    s.updateStep = [] {};
    s.updateState = [this] { return state; };
    s.startDownload = [this](auto& hash, uint8_t, uint8_t) {
      downloads.push_back(hash[0]), state = reached;
    };
    s.watchdog = &watchdog;
    return s;
  }
  std::string Pass(bool* more = nullptr) {
    testing::internal::CaptureStdout();
    const bool result = pool.Pass();
    if (more) *more = result;
    return testing::internal::GetCapturedStdout();
  }
  // Answers the last hello; the reply is received by the next pass.
  Bytes Reply(fake_pool::Reply r = {}) {
    const Bytes hello = server.Receive(0);
    r.echo = static_cast<int32_t>(fake_pool::GetLe(hello.data() + 35, 4));
    r.expiry = r.echo + 100, r.sessionKey = key;
    server.Send(fake_pool::BuildHandshakeReply(r, hello.data() + 295));
    return hello;
  }
};

template <typename Set>
fake_pool::Reply ReplyWith(Set set) {
  fake_pool::Reply r;
  set(r);
  return r;
}

bool Has(const std::string& log, const std::string& text) {
  return log.find(text) != std::string::npos;
}

TEST(PoolClient, ConnectsKeepsAliveRenewsFollowsMessagesAndReconnectsAfterSilence) {
  Harness h;
  EXPECT_TRUE(Has(h.Pass(), "Connecting to 127.0.0.28\n"));
  const Bytes hello = h.Reply(ReplyWith([](auto& r) { r.lifetime = 15; }));
  EXPECT_TRUE(hello[3] == 7 && hello[39] == 7);  // the plot id and its proof
  EXPECT_NEAR(fake_pool::GetLe(hello.data() + 35, 4), time(nullptr), 2);
  EXPECT_TRUE(Has(h.Pass(), "Connection established"));
  EXPECT_EQ(PoolSessionInstance().Credentials().sessionId, 42);

  h.steady += 4;
  h.Pass();
  const Bytes keepalive = h.server.Receive(4);
  EXPECT_TRUE(fake_pool::OpenSealed(keepalive.data(), 1, 0, h.key).opens);
  for (const char* expected : {"hello farmer\n", "Server packet processing error: 73493af8"}) {
    h.server.Send(fake_pool::BuildServerMessage("hello farmer", h.key, fake_pool::ServerNonce(5)));
    EXPECT_TRUE(Has(h.Pass(), expected));
  }
  h.steady += 7;  // the short lifetime's renewal is due once the hello is 10 s old
  h.Pass();
  const Bytes renewal = h.Reply(ReplyWith([](auto& r) { r.sessionId = 99; }));
  const fake_pool::Sealed digest = fake_pool::OpenSealed(renewal.data(), 441, 16, h.key);
  uint8_t expected[32];
  Blake3Hash(renewal.data() + 295, 128, expected);
  EXPECT_TRUE(digest.opens && std::equal(expected, expected + 16, digest.opened.begin()));
  EXPECT_FALSE(Has(h.Pass(), "Connection established"));
  EXPECT_EQ(PoolSessionInstance().Credentials().sessionId, 42);

  h.steady += 61;
  const std::string lost = h.Pass();
  EXPECT_TRUE(Has(lost, "Connection lost, reconnecting\n") && Has(lost, "Connecting to"));
}

TEST(PoolClient, ReplyBodiesAndDelays) {
  const Bytes critical = fake_pool::BuildAnnouncement(0x0200, 0xc1, 2, 10);
  const Bytes security = fake_pool::BuildAnnouncement(0x0200, 0x5e, 2, 10);
  auto body = [](int8_t kind, const Bytes& announcement) {
    return ReplyWith([&](auto& r) {
      r.withBody = true, r.body = announcement;
      r.body.insert(r.body.begin(), static_cast<uint8_t>(kind));
    });
  };
  struct Row {
    fake_pool::Reply reply;
    UpdaterState state;
    const char* log;
    bool more, connected;
    int shutdowns, downloads;
  } rows[] = {
      {ReplyWith([](auto& r) { r.cacheDelay = 2; }),
       {},
       "Updating cache, reconnect in 3s",
       true,
       false,
       0,
       0},
      {body(0, {}),
       {},
       "Unsupported server protocol, please download new version",
       false,
       false,
       1,
       0},
      {body(2, security), {}, "Found security update, downloading...", true, true, 0, 1},
      {body(1, critical), UpdaterState::Installed, "Found critical update", false, false, 1, 1},
      {body(1, critical), UpdaterState::Failed, "Found critical update, downloading...", false,
       false, 1, 1},
  };
  for (const Row& row : rows) {
    Harness h;
    h.reached = row.state;
    h.Pass();
    h.Reply(row.reply);
    bool more = false;
    EXPECT_TRUE(Has(h.Pass(&more), row.log)) << row.log;
    EXPECT_EQ(more, row.more) << row.log;
    EXPECT_EQ(h.pool.Connected(), row.connected) << row.log;
    EXPECT_EQ(h.client.shutdowns, row.shutdowns);
    EXPECT_EQ(h.downloads.size(), size_t(row.downloads));
  }
}

TEST(PoolClient, SignagePointsAreAcknowledgedFilteredAndSubmitted) {
  Harness h;
  h.Pass();
  h.Reply();
  h.Pass();
  auto point = [](uint8_t index, int64_t time, uint8_t fill = 1) {
    Bytes fields(87, fill);
    fake_pool::PutLe(fields, 80, static_cast<uint64_t>(time), 4);
    fields[85] = 0, fields[86] = index, fields[87 - 1] = 5;
    return fake_pool::BuildSignagePoint(fields);
  };
  const int64_t now = time(nullptr);
  struct Row {
    Bytes datagram;
    int secondsLater;
    bool acknowledged;
    size_t submitted;
    const char* log;
  } rows[] = {
      {point(10, now), 0, false, 1, "Signage point 0101...0101"},  // the first is not acked
      {point(10, now), 0, false, 1, ""},                           // same second, seen
      {point(10, now), 1, true, 1, ""},                            // acked, still seen
      {point(11, now - 61, 2), 0, false, 1, "Received very old signage point, ignoring"},
      {Bytes(151, 2), 1, false, 1, "Server packet processing error: 83ff4ca8"},
  };
  for (Row& row : rows) {
    h.steady += row.secondsLater;
    h.server.Send(row.datagram);
    EXPECT_TRUE(Has(h.Pass(), row.log)) << row.log;
    EXPECT_EQ(h.server.Receive(6, 100).empty(), !row.acknowledged) << row.log;
    EXPECT_EQ(h.client.submitted.size(), row.submitted) << row.log;
  }
  EXPECT_EQ(h.client.submitted[0].second, 5000u);
  EXPECT_EQ(h.client.submitted[0].first->Point().difficulty, 0x0101010101010101u);
}

TEST(PoolClient, MissedSignagePointsAreCountedByIndexGaps) {
  struct Row {
    std::vector<int> indexes;  // one a second; the warning counts gaps older than 2 s
    int last;
    const char* log;
  } rows[] = {{{63, 2, 3, 4, 5}, 5, "WARNING: Missed 2 signage points\n"},
              {{5, 40, 41, 42, 43}, 5, ""},
              {{5, 5, 6, 6, 8, 9, 10, 11}, 11, "WARNING: Missed 1 signage point\n"},
              {{5, 7, 6, 8, 9, 10}, 10, ""}};
  for (const Row& row : rows) {
    Harness h;
    PoolSessionInstance().lastSignagePointIndex = -1;
    testing::internal::CaptureStdout();
    for (size_t i = 0; i < row.indexes.size(); ++i)
      h.pool.TrackMissedSignagePoints(row.indexes[i], 2, i);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(*row.log ? Has(out, row.log) : out.empty()) << out;
    EXPECT_EQ(PoolSessionInstance().lastSignagePointIndex, row.last);
  }
}

TEST(PoolClient, FailuresAreLoggedAndTheSessionStartsOver) {
  {  // the clock check at the start, and a failure that is no standard exception
    Harness h;
    PoolClientSetup setup = h.Setup();
    setup.clockOffset = [&h]() -> int64_t {
      h.client.finished = true;
      throw std::runtime_error("clock down");
    };
    testing::internal::CaptureStdout();
    PoolClient(setup).Run();
    EXPECT_TRUE(Has(testing::internal::GetCapturedStdout(), "UDP protocol error: clock down"));
    h.client.finished = false, h.client.throwing = true;
    bool more = false;
    EXPECT_TRUE(Has(h.Pass(&more), "UDP protocol error: unknown failure") && more);
  }
  {  // a receive failure closes the socket; no receive follows until the next attempt
    Harness h;
    Verbosity = 1;
    h.Pass();
    PoolSocketInstance().Replace(socket(AF_UNIX, SOCK_STREAM, 0));  // receives fail
    EXPECT_TRUE(Has(h.Pass(), "UDP protocol error: Invalid argument"));
    std::string next;
    for (int i = 0; i < 8 && !Has(next, "Connecting to"); ++i) next += h.Pass();
    Verbosity = 0;
    EXPECT_FALSE(Has(next, "recv")) << next;
    EXPECT_TRUE(Has(next, "Connecting to")) << next;
  }
  {  // eight failing plots older than the good one are dropped from the hello's choice
    Harness h;
    h.client.plots.clear();
    for (int i = 0; i < 9; ++i)
      h.client.plots.push_back({{uint8_t(i < 8 ? 0xf : 9), uint8_t(i)}, i, "p"});
    h.client.finishAfter = 20;
    h.Pass();
    EXPECT_EQ(h.server.Receive(0)[3], 9);
    EXPECT_LE(h.client.proofCalls, 9);
  }
  // A stop request ends the hello's search for a proof that never comes.
  ChildProcess child([] {
    Harness h;
    h.client.proofResult = 0, h.client.finishAfter = 1 << 30;
    StopRequested = true;
    h.Pass();
    std::printf("returned\n");
  });
  EXPECT_EQ(child.ReadLine(5000), "returned");
}

}  // namespace
