// The pool session, its signage points, shares and watchdog, against a fake server on loopback, a
// fake Client host and a fake clock that every wait of the client moves forward.
#include "pool/pool_client.h"

#include <gtest/gtest.h>

#include <fstream>

#include "chia/iterations_quality.h"
#include "chia/plot_keys.h"
#include "manager/client.h"
#include "pool/packet_sender.h"
#include "pool/pool_share_request.h"
#include "pool/pool_socket.h"
#include "pool/watchdog.h"
#include "runtime/option_values.h"
#include "runtime/stop_requested.h"
#include "runtime/text_utils.h"
#include "tests/chia/pos_verifier.h"
#include "tests/support/child_process.h"
#include "tests/pool/fake_pool_codec.h"
#include "tests/runtime/file_test_support.h"
#include "tests/support/thrown_text.h"

namespace {

using fake_pool::Bytes;

std::string Logged(const std::function<void()>& run) {
  return testing::internal::CaptureStdout(), run(), testing::internal::GetCapturedStdout();
}
bool Has(const std::string& log, const std::string& text) { return log.find(text) != log.npos; }

// A fake pool server on 127.0.0.28 and a fake Client host, with the pool client between them.
struct Harness : Client {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in self{AF_INET, 0, {htonl(0x7f00001c)}, {}}, peer{};
  socklen_t size = sizeof self;
  int bound = (bind(fd, (sockaddr*)&self, size), getsockname(fd, (sockaddr*)&self, &size));
  TestDirectory folder;
  inline static int64_t base = SteadySeconds();  // past the session state of the last harness
  std::atomic<int64_t> steady{base += 1000};
  fake_pool::Key16 key{uint8_t(steady >> 3), uint8_t(steady >> 11), 1};
  UpdaterState state{}, reached{};
  std::atomic<bool> finished{false};
  int64_t offset = 0;  // the clock offset of each hello
  int more = 1, downloads = 0, shutdowns = 0, proofCalls = 0, finishAfter = 1000, proofResult = 1;
  std::vector<HelloCandidate> plots{{{7}, 5, "p"}};
  std::vector<std::pair<std::shared_ptr<PoolShareRequest>, uint64_t>> submitted;
  Watchdog watchdog{{[] { return int64_t{0}; }, [] {}}};
  PoolClient pool{Setup()};

  ~Harness() override { close(fd), PoolSessionInstance().clientTime = 0; }  // hello copies end
  bool IsFinished() override { return finished; }
  uint32_t RequestShutdown(bool) override { return ++shutdowns, 0; }
  void SubmitSignagePoint(std::shared_ptr<SignagePointRequest> r, uint64_t ms) override {
    submitted.emplace_back(std::static_pointer_cast<PoolShareRequest>(r), ms);
  }
  std::vector<HelloCandidate> HelloCandidates() override { return plots; }
  // Plots with id byte 0 = 0xf fail; a proof is id byte 0 in every word; a result of 7 throws 7.
  int ProveHelloPlot(const PlotIdBytes& id, const uint8_t*, uint64_t, uint32_t p[64]) override {
    finished = ++proofCalls >= finishAfter, std::fill(p, p + 64, id[0]);
    return id[0] == 0xf ? -1 : proofResult == 7 ? throw 7 : proofResult;
  }

  PoolClientSetup Setup() {
    std::ofstream(folder.Path() / "addresses") << "127.0.0.28\n";
    SettingsCacheInstance().CachedServerAddresses.clear(), StartupScanPending = 0;
    PoolClientSetup s;
    s.resolver.addressFolder = folder.Path(), s.resolver.now = [] { return time(nullptr); };
    s.resolver.lookup = [](auto& node, auto& service, int family, auto& out) {
      return LookUpAddresses(node, service, family, AI_NUMERICHOST, out);
    };
    s.service = std::to_string(ntohs(self.sin_port)), s.socketTimeout = 0.2;
    s.steadySeconds = [this] { return steady.load(); }, s.sleepSecond = [this] { ++steady; };
    s.client = [this] { return this; }, s.clockOffset = [this] { return offset; };
    s.watchdog = &watchdog, s.updateStep = [] {};
    s.updateState = [this] { return state; };
    s.startDownload = [this](auto&, uint8_t, uint8_t) { ++downloads, state = reached; };
    return s;
  }
  std::string Pass() {
    return Logged([this] { more = pool.Pass(); });
  }
  // The next datagram of `type` within `ms` (others are skipped); empty when none comes.
  Bytes Receive(uint8_t type, int ms = 2000) {
    timeval wait{ms / 1000, ms % 1000 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    for (Bytes d(600);;) {
      const ssize_t n = recvfrom(fd, d.data(), 600, 0, (sockaddr*)&peer, &size);
      if (n <= 0 || d[0] == type) return Bytes(d.begin(), d.begin() + std::max<ssize_t>(n, 0));
    }
  }
  void Send(const Bytes& d) const { sendto(fd, d.data(), d.size(), 0, (sockaddr*)&peer, size); }
  // Answers the last hello; the next pass receives the reply.
  Bytes Reply(const std::function<void(fake_pool::Reply&)>& set = [](auto&) {}) {
    const Bytes hello = Receive(0);
    fake_pool::Reply r;
    r.echo = int32_t(fake_pool::GetLe(hello.data() + 35, 4)), r.expiry = r.echo + 100;
    r.sessionKey = key, set(r), Send(fake_pool::BuildHandshakeReply(r, &hello[295]));
    return hello;
  }
};

TEST(PoolClient, ConnectsKeepsAliveRenewsFollowsMessagesAndReconnectsAfterSilence) {
  Harness h;
  const int64_t before = time(nullptr);
  EXPECT_TRUE(Has(h.Pass(), "Connecting to 127.0.0.28\n"));
  const Bytes hello = h.Reply([](auto& r) { r.lifetime = 15; });
  // The plot id, its proof, and the client time the proof answers (the clock read while the
  // hello was made, however long that took).
  const int64_t answered = static_cast<int64_t>(fake_pool::GetLe(&hello[35], 4));
  EXPECT_TRUE(hello[3] == 7 && hello[39] == 7 && answered >= before - 2 &&
              answered <= time(nullptr) + 2);
  EXPECT_TRUE(Has(h.Pass(), "Connection established"));
  h.steady += 4, h.Pass();
  const fake_pool::Sealed keepalive = fake_pool::OpenSealed(&h.Receive(4)[0], 1, 0, h.key);
  EXPECT_TRUE(keepalive.opens && keepalive.sessionId == 42);
  for (const char* expected : {"hello farmer\n", "Server packet processing error: 73493af8"}) {
    h.Send(fake_pool::BuildServerMessage("hello farmer", h.key, fake_pool::ServerNonce(5)));
    EXPECT_TRUE(Has(h.Pass(), expected));
  }
  h.steady += 7, h.Pass();  // the short lifetime's renewal, due once the hello is 10 s old
  h.Reply([](auto& r) { r.sessionId = 99; });
  EXPECT_FALSE(Has(h.Pass(), "Connection established"));
  EXPECT_EQ(PoolSessionInstance().Credentials().sessionId, 42);
  const std::string lost = (h.steady += 61, h.Pass());
  EXPECT_TRUE(Has(lost, "Connection lost, reconnecting\n") && Has(lost, "Connecting to"));
}

TEST(PoolClient, ReplyBodiesAndDelays) {
  using enum UpdaterState;
  // Body kind (below 0: none), cache delay, the update's end, log, connected, shutdowns,
  // downloads; the client goes on unless it shut down.
  for (auto [kind, delay, reached, log, connected, shutdowns, downloads] :
       {std::tuple{-1, 2, Idle, "Updating cache, reconnect in 3s", false, 0, 0},
        {0, 0, Idle, "Unsupported server protocol, please download new version", false, 1, 0},
        {2, 0, Idle, "Found security update, downloading...", true, 0, 1},
        {1, 0, Installed, "Found critical update", false, 1, 1},
        {1, 0, Failed, "", false, 1, 1}}) {
    Harness h;
    h.reached = reached, h.Pass(), h.Reply([&, kind = kind, delay = delay](fake_pool::Reply& r) {
      r.cacheDelay = delay, r.withBody = kind >= 0;
      if (kind > 0) r.body = fake_pool::BuildAnnouncement(0x0200, kind, 2, 10);
      r.body.insert(r.body.begin(), uint8_t(kind));
    });
    EXPECT_TRUE(Has(h.Pass(), log)) << log;
    EXPECT_EQ(std::tuple(h.more, h.pool.Connected(), h.shutdowns, h.downloads),
              std::tuple(shutdowns == 0, connected, shutdowns, downloads));
  }
}

TEST(PoolClient, SignagePointsAreAcknowledgedFilteredSubmittedAndMissed) {
  Harness h;  // the system clock 30 s ahead of the server's
  h.offset = -30, h.Pass(), h.Reply(), h.Pass();
  auto point = [](uint8_t index, int64_t age = 0, Bytes f = Bytes(87, 1)) {
    fake_pool::PutLe(f, 80, time(nullptr) - age, 4), f[40] = f[85] = index, f[86] = 5;
    return fake_pool::BuildSignagePoint(f);
  };
  // Datagram, seconds later, acknowledged, log.
  for (auto [datagram, later, acknowledged, log] :
       {std::tuple{point(10), 0, false, "Signage point 0101...0101"},  // the first: no ack
        {point(10), 0, false, ""},                                     // seen, same second
        {point(10), 1, true, ""},                                      // seen, a second later
        {point(11, 91), 0, false, "Received very old signage point, ignoring"},
        {point(12, 80), 1, true, "Signage point"},  // young enough on the server's clock
        {point(13), 1, true, "Signage point"},      // expires what is older than 60 s
        {point(12, 80), 1, true, ""},               // its replay, still seen
        {Bytes(151, 2), 1, false, "Server packet processing error: 83ff4ca8"}}) {
    h.steady += later, h.Send(datagram);
    EXPECT_TRUE(Has(h.Pass(), log) && h.Receive(6, 100).empty() != acknowledged) << log;
  }
  EXPECT_TRUE(h.submitted.size() == 3 && h.submitted[0].second == 5000 &&
              h.submitted[0].first->Point().difficulty == 0x0101010101010101u);
  // Indexes one a second; a gap is counted once older than the 2 s limit.
  for (auto [indexes, last, log] :
       {std::tuple{std::vector{63, 2, 3, 4, 5}, 5, "Missed 2 signage points\n"},
        {{5, 5, 6, 6, 8, 9, 10, 11}, 11, "Missed 1 signage point\n"},
        {{5, 7, 6, 8, 9, 10}, 10, ""}}) {  // a late point is not missed
    PoolSessionInstance().lastSignagePointIndex = -1;
    const std::string out = Logged([&, &indexes = indexes] {
      for (int t = 0; int i : indexes) h.pool.TrackMissedSignagePoints(i, 2, t++);
    });
    EXPECT_TRUE((*log ? Has(out, log) : out.empty()) &&
                PoolSessionInstance().lastSignagePointIndex == last)
        << out;
  }
}

TEST(PoolClient, FailuresAreLoggedAndTheSessionStartsOver) {
  {  // the clock check at the start, and a failure that is no standard exception
    Harness h;
    PoolClientSetup setup = h.Setup();
    setup.clockOffset = [&]() -> int64_t { throw(h.finished = 1, std::runtime_error("x")); };
    EXPECT_TRUE(Has(Logged([&] { PoolClient(setup).Run(); }), "UDP protocol error: x\n"));
    h.finished = false, h.proofResult = 7;
    EXPECT_TRUE(Has(h.Pass(), "UDP protocol error: unknown failure") && h.more);
  }
  {  // a receive failure closes the socket; no receive follows until the next attempt
    Harness h;
    Verbosity = 1, h.Pass(), PoolSocketInstance().Replace(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_TRUE(Has(h.Pass(), "UDP protocol error: Invalid argument"));
    std::string next;
    for (int i = 0; i < 8 && !Has(next, "Connecting to"); ++i) next += h.Pass();
    EXPECT_TRUE(!Has(next, "recv") && Has(next, "Connecting to")) << next;
    Verbosity = 0;
  }
  {  // eight failing plots older than the good one leave the hello's choice
    Harness h;
    h.plots.clear(), h.finishAfter = 20;
    for (uint8_t i = 0; i < 9; ++i) h.plots.push_back({{uint8_t(i < 8 ? 0xf : 9), i}, i, ""});
    h.Pass();
    EXPECT_TRUE(h.Receive(0)[3] == 9 && h.proofCalls <= 9);
  }
  ChildProcess child([] {  // a stop request ends the hello's search for a proof that never comes
    Harness h;
    h.proofResult = 0, h.finishAfter = 1 << 30, StopRequested = true;
    h.Pass(), std::printf("returned\n");
  });
  EXPECT_EQ(child.ReadLine(5000), "returned");
}

SignagePoint Point(uint64_t difficulty, uint64_t blockWinBound, uint8_t shareFactor) {
  SignagePoint p{{}, {}, difficulty, blockWinBound, 0, shareFactor};
  return p.challengeHash.fill(0xc1), p.signagePointHash.fill(0x5a), p;
}

TEST(PoolShareRequest, PlotFilterAndQualityRuleOnKnownValues) {
  // An independent SHA-256's answer: plot id 0 does not take part, 463 (at byte 2) does.
  uint8_t plotId[32] = {0}, out[32];
  PoolShareRequest filter(Point(1, 0, 1));
  EXPECT_FALSE(filter.PlotChallenge(plotId, out));
  plotId[2] = 463 >> 8, plotId[3] = 463 & 255;
  EXPECT_TRUE(filter.PlotChallenge(plotId, out) &&
              ToHexLower(out, 32) ==
                  "2b095a3563bb1f6830f1b042fdda1795bcaa2758a377cbce31fe4fac29812f7c");
  // This quality needs 948057225069 iterations at difficulty 1000 and 2^64 - 1 at 2^36; the
  // products at 2^34 and 2^36 pass 2^64.
  const uint64_t rows[][4] = {
      {1000, 948057225070, 2, 2}, {1000, 948057225069, 2, 0}, {1000, 0, 0, 1},
      {1 << 30, 0, 1, 1},         {1 << 30, 0, 2, 0},         {1ull << 34, 0, 2, 0},
      {1ull << 36, 0, 2, 1}};
  const Bytes c(32, 0x11);  // the challenge, x pair 0x0807060504030201
  for (auto [difficulty, bound, factor, result] : rows) {
    PoolShareRequest request(Point(difficulty, bound, uint8_t(factor)));
    EXPECT_EQ(request.CheckQuality(&c[0], &c[0], 0x0807060504030201), int(result));
  }
}

TEST(PoolShareRequest, ShareOpensToItsFieldsAndGoesOutOnlyUnderASessionKey) {
  const PosRecord record = LoadPosRecords().at(0);
  uint32_t proof[64];
  for (int i = 0; i < 64; ++i) proof[i] = __builtin_bswap32(record.proof[i]);
  uint64_t keyBlock[64] = {};
  uint8_t *keys = reinterpret_cast<uint8_t*>(keyBlock), plotId[32], seed[32] = {3};
  CreatePlotKeys(plotId, seed, keys + 1, keys + 33, keys + 65, nullptr);
  PoolSession session;
  auto share = [&](uint64_t bound) {
    PoolShareRequest(Point(1000, bound, 1), session)
        .OnProof(plotId, keyBlock, record.challenge, 3, proof);
  };
  EXPECT_EQ(ThrownText([&] { share(0); }), "No pool session yet, share not sent");
  const fake_pool::Key16 key{0x5e};
  session.TakeSessionKey(key, 77), PoolSessionInstance().CopyMultiplier = 1;
  RewardPuzzleHash.fill(0xab), WorkerName.fill('w'), WorkerId = 0x1122334455667788;
  Bytes expected(491, 0x5a);  // the plaintext after the signage-point hash
  std::copy_n(plotId, 32, &expected[32]), std::copy_n((uint8_t*)proof, 256, &expected[64]);
  expected[320] = expected[321] = 0, std::copy_n(keys + 1, 112, &expected[322]);
  std::fill_n(&expected[434], 32, 0xab), std::fill_n(&expected[466], 16, 'w');
  fake_pool::PutLe(expected, 482, WorkerId, 8), expected[490] = 3;
  // The proof's own quality, by an independent oracle, decides the copies.
  const uint64_t needed = CalculateIterationsQuality(
      pos_oracle::Quality(record.challenge, record.proof).data(), 1000, &expected[0]);
  for (uint64_t bound : {needed, needed + 1}) {
    Harness h;
    PoolSocketInstance().Replace(socket(AF_INET, SOCK_DGRAM, 0));
    connect(PoolSocketInstance().ReceiveFd(), (sockaddr*)&h.self, h.size), share(bound);
    const Bytes datagram = h.Receive(3);
    ASSERT_EQ(datagram.size(), 548u);
    const fake_pool::Sealed sealed = fake_pool::OpenSealed(datagram.data(), 1, 491, key);
    EXPECT_TRUE(sealed.opens && sealed.sessionId == 77 && sealed.opened == expected);
    // 32 copies over 10 s come every 322 ms, 4 over 4 s every 1333 ms: none of the four comes
    // within 800 ms, and the 32 bring more than four (the waits for them only bound a hang).
    if (bound == needed) {
      EXPECT_TRUE(h.Receive(3, 800).empty());
    } else {
      for (int copy = 2; copy <= 5; ++copy) ASSERT_FALSE(h.Receive(3, 30000).empty()) << copy;
    }
    PoolSocketInstance().Close(), WaitForResenders();  // no copy reaches the next server
  }
  keys[40] ^= 1;
  EXPECT_EQ(ThrownText([&] { share(0); }), "Plot keys are inconsistent with plot id");
}

TEST(Watchdog, RepeatedTroubleBeepsUntilItHasBeenQuietFor89Seconds) {
  // Waits for what the timer thread does; the limit only bounds a hang.
  const auto eventually = [](const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!done() && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
  };
  {  // the first beep comes at once, not after the interval (an hour here)
    std::atomic<int> beeps{0};
    std::atomic<int64_t> now{1000};
    Watchdog watchdog({[&] { return now.load(); }, [&] { ++beeps; }, std::chrono::hours(1)});
    watchdog.AlarmingEvent(), now = 1089, watchdog.AlarmingEvent();
    EXPECT_TRUE(eventually([&] { return beeps.load() == 1; }));
  }
  std::atomic<int64_t> now{1000};
  std::atomic<int> beeps{0}, beepsAtQuiet{-1};
  // The clock as the timer thread reads it: the first reading past the quiet 89 s notes the
  // beeps so far, and every beep before it has returned (beeps run one at a time on that thread).
  const auto clock = [&] {
    const int64_t seconds = now.load();
    int unset = -1;
    if (seconds == 1179 + 90) beepsAtQuiet.compare_exchange_strong(unset, beeps.load());
    return seconds;
  };
  Watchdog watchdog({clock, [&] { ++beeps; }, std::chrono::milliseconds(20)});
  for (int64_t second : {1000, 1090}) now = second, watchdog.AlarmingEvent();  // 90 s apart
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(beeps.load() == 0 && !watchdog.TimerHasThread());
  now = 1179, watchdog.AlarmingEvent();  // 89 s after the one before: beeps every 20 ms
  EXPECT_TRUE(eventually([&] { return beeps.load() >= 3; }));
  now = 1179 + 90;
  EXPECT_TRUE(eventually([&] { return beepsAtQuiet.load() >= 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // five intervals: none came
  EXPECT_EQ(beeps.load(), beepsAtQuiet.load());
}

}  // namespace
