// Every pool datagram against its layout, both ways, through the fake server's codec.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "chia/blake3_hash.h"
#include "chia/deployment.h"
#include "chia/self_test.h"
#include "pool/client_packets.h"
#include "pool/server_packets.h"
#include "tests/pool/fake_pool_codec.h"
#include "tests/support/thrown_text.h"

namespace {

using fake_pool::Bytes;
using fake_pool::Put;
using fake_pool::PutLe;

template <size_t N>
std::array<uint8_t, N> Filled(uint8_t first) {
  std::array<uint8_t, N> a;
  for (size_t i = 0; i < N; ++i) a[i] = static_cast<uint8_t>(first + i);
  return a;
}

// The client's datagram equals `want` once its sealed part (at `at`) is opened by the server.
void ExpectBytes(const Packet& sent, Bytes want, size_t at, size_t payload,
                 const fake_pool::Key16& key) {
  Bytes got(sent.begin(), sent.end());
  if (payload != SIZE_MAX) {
    const auto sealed = fake_pool::OpenSealed(sent.data(), at, payload, key);
    ASSERT_TRUE(sealed.opens);
    Put(got, at + 32, sealed.opened);
    std::copy(sent.begin() + at + 16, sent.begin() + at + 32, want.begin() + at + 16);  // the tag
  }
  EXPECT_EQ(got, want);
}

TEST(PoolPackets, ClientDatagramsCarryTheirFieldsAtTheirOffsets) {
  const SessionCredentials session{0x0102030405060708, Filled<16>(0xa0)};
  HelloFields hello{Filled<32>(1), 0x11223344, Filled<256>(2), Filled<128>(3), Filled<16>(4), 3};
  for (const SessionCredentials& s : {SessionCredentials{}, session}) {
    Bytes want(548);
    want[1] = 0x03, want[2] = 0x01;
    Put(want, 3, hello.plotId), PutLe(want, 35, 0x11223344, 4), Put(want, 39, hello.proof);
    Put(want, 295, hello.modulus), Put(want, 423, hello.serverToken), want[440] = 3;
    if (s.sessionId >= 0) {
      PutLe(want, 441, s.sessionId, 8), PutLe(want, 449, 77, 8);
      uint8_t digest[32];
      Blake3Hash(hello.modulus.data(), 128, digest);
      std::copy(digest, digest + 16, want.begin() + 473);
    }
    ExpectBytes(BuildHello(hello, s, 77), want, 441, s.sessionId >= 0 ? 16 : SIZE_MAX, s.key);
  }

  Bytes want(548);
  want[0] = 4, PutLe(want, 1, session.sessionId, 8), PutLe(want, 9, 5, 8);
  ExpectBytes(BuildKeepalive(session, 5), want, 1, 0, session.key);
  want[0] = 6, PutLe(want, 9, 6, 8), Put(want, 33, Filled<32>(9));
  ExpectBytes(BuildSignagePointAck(session, 6, Filled<32>(9).data()), want, 1, 32, session.key);

  ShareFields share{Filled<32>(10), Filled<32>(20), Filled<256>(30),    Filled<113>(2),
                    Filled<32>(40), Filled<16>(50), 0x8877665544332211, 4};
  want.assign(548, 0);
  want[0] = 3, PutLe(want, 1, session.sessionId, 8), PutLe(want, 9, 7, 8);
  Put(want, 33, share.signagePointHash), Put(want, 65, share.plotId), Put(want, 97, share.proof);
  want[354] = 2, std::copy(share.keys.begin() + 1, share.keys.end(), want.begin() + 355);
  Put(want, 467, share.rewardPuzzleHash), Put(want, 499, share.workerName);
  PutLe(want, 515, share.workerId, 8), want[523] = 4;
  ExpectBytes(BuildShare(share, session, 7), want, 1, 491, session.key);
}

// A repeated nonce under one key would void the seal of every sealed datagram type.
TEST(PoolPackets, ClientNoncesDoNotRepeatAndStayBelowTheServersRange) {
  PoolSession session;
  const uint64_t first = session.NextNonce(), second = session.NextNonce();
  EXPECT_NE(first, second);
  EXPECT_LT(std::max(first, second), PoolSession::kServerNonceBit);
}

TEST(PoolPackets, TestDeploymentKeysAreTheFakeServersAndPassTheSelfTest) {
  const Deployment& d = ActiveDeployment();
  EXPECT_NO_THROW(CheckDeployment(d));
  SelfTestPlotKeys();  // aborts when the stored answers do not fit the test pool key
  const auto field87 = Filled<87>(1);
  const Bytes fields(field87.begin(), field87.end());
  const SignagePoint p =
      CheckSignagePoint(fake_pool::BuildSignagePoint(fields).data(), 152, d.ServerKey);
  EXPECT_EQ(std::tuple(p.challengeHash, p.signagePointHash, p.difficulty, p.blockWinBound, p.time,
                       p.shareFactor, p.index, p.timeLimitSeconds),
            std::tuple(Filled<32>(1), Filled<32>(33), 0x4847464544434241u, 0x504f4e4d4c4b4a49u,
                       0x54535251, 85, 86, 87));
  EXPECT_EQ(ThrownText([&] {
              CheckSignagePoint(fake_pool::BuildSignagePoint(fields).data(), 151, d.ServerKey);
            }),
            "83ff4ca8");
  const Bytes forged = fake_pool::BuildSignagePoint(fields, test_deployment::kUpdateSeed);
  EXPECT_EQ(ThrownText([&] { CheckSignagePoint(forged.data(), 152, d.ServerKey); }), "48acec6f");
}

TEST(PoolPackets, HandshakeReplyPassesOrFailsAtItsFirstBrokenCheck) {
  const auto helloKey = HelloKey::Generate(), otherKey = HelloKey::Generate();
  const Deployment& d = ActiveDeployment();
  const bls::G1Element poolKey = bls::G1Element::FromBytes(d.poolPublicKey);
  // A body of kind, announcement (version, signer) and text "hi".
  auto body = [](int8_t kind, uint16_t version = 0,
                 const std::array<uint8_t, 32>* signer = nullptr) {
    Bytes b = {static_cast<uint8_t>(kind)};
    if (signer != nullptr) b = fake_pool::BuildAnnouncement(version, 5, 1, 2, *signer);
    if (signer != nullptr) b.insert(b.begin(), static_cast<uint8_t>(kind));
    b.insert(b.end(), {'h', 'i', 0, 'x'});
    return b;
  };
  const auto* updateSeed = &test_deployment::kUpdateSeed;
  enum KeyChoice { kHelloKey, kNoKey, kOtherKey };
  struct Row {
    std::string expected;
    KeyChoice key;
    size_t cut;  // length of the datagram when shorter than built
    std::function<void(fake_pool::Reply&)> breakIt;
  } rows[] = {
      {"accepted", kHelloKey, 0, [](auto&) {}},
      {"accepted hi", kHelloKey, 0, [&](auto& r) { r.body = body(-1); }},
      {"accepted", kHelloKey, 0, [](auto& r) { r.withBody = true; }},  // 319 bytes: empty body
      {"e1bc5d1f", kHelloKey, 294, [](auto& r) { r.echo = 1; }},
      {"dropped", kHelloKey, 0, [](auto& r) { r.echo = 1, r.expiry = 0; }},
      {"6f50e54c", kNoKey, 0, [](auto& r) { r.expiry = 1000; }},
      {"6f50e54c", kHelloKey, 0, [](auto& r) { r.poolSecret[31] ^= 1; }},
      {"05282f36", kNoKey, 0, [](auto& r) { r.breakSessionSignature = true; }},
      {"b452b1f9", kOtherKey, 0, [](auto& r) { r.breakSessionSignature = true; }},
      {"ab0d4287", kHelloKey, 0,
       [&](auto& r) { r.breakSessionSignature = true, r.body = body(9); }},
      {"d3385a7b", kHelloKey, 318, [&](auto& r) { r.body = body(-1); }},
      {"03300cfa", kHelloKey, 0, [&](auto& r) { r.body = body(9), r.bodyNonce = 0; }},
      {"80fb618a", kHelloKey, 0, [&](auto& r) { r.body = body(9); }},
      {"96f9b4b7", kHelloKey, 0, [&](auto& r) { r.body = body(3, 0x0104, updateSeed); }},
      {"60004891", kHelloKey, 0,
       [&](auto& r) { r.body = body(2, 0x0200, &test_deployment::kServerSeed); }},
      {"18618d3c", kHelloKey, 0, [&](auto& r) { r.body = body(1, 0x0103, updateSeed); }},
      {"update 260 5 1 2 hi", kHelloKey, 0, [&](auto& r) { r.body = body(2, 0x0104, updateSeed); }},
  };
  for (const Row& row : rows) {
    fake_pool::Reply r;
    r.echo = 777, r.expiry = 1001;
    row.breakIt(r);
    r.withBody = r.withBody || !r.body.empty();
    const HelloKey* key = row.key == kHelloKey   ? helloKey.get()
                          : row.key == kOtherKey ? otherKey.get()
                                                 : nullptr;
    Bytes datagram = fake_pool::BuildHandshakeReply(r, helloKey->Modulus().data());
    if (r.bodyNonce == 0) PutLe(datagram, 295, 1, 8);  // sealed under nonce 0, sent as 1
    if (row.cut != 0) datagram.resize(row.cut);
    PoolSession window;
    std::string outcome = ThrownText([&] {
      const auto reply =
          OpenHandshakeReply(datagram.data(), datagram.size(), {777, 1000, key}, poolKey);
      if (!reply) throw std::runtime_error("dropped");
      EXPECT_EQ(reply->sessionKey, r.sessionKey);
      EXPECT_EQ(std::vector<int64_t>({reply->lifetime, reply->sessionId, reply->copyMultiplier}),
                std::vector<int64_t>({200, 42, 1}));
      if (!reply->hasBody) throw std::runtime_error("accepted");
      const ReplyBody opened =
          OpenReplyBody(datagram.data(), datagram.size(), reply->sessionKey, 2, &window);
      EXPECT_EQ(opened.nonce, r.bodyNonce);
      std::string result = "accepted";
      if (opened.kind > 0) {
        const UpdateDescriptor u = CheckUpdateAnnouncement(opened.announcement, d.UpdateKey);
        result = "update " + std::to_string(u.version) + " " + std::to_string(u.infoHash[19]) +
                 " " + std::to_string(u.shareRatioTarget) + " " + std::to_string(u.seedingMinutes);
      }
      throw std::runtime_error(opened.text.empty() ? result : result + " " + opened.text);
    });
    EXPECT_EQ(outcome, row.expected);
    // An opened body's nonce is in the window, also when a check after the opening failed.
    const bool opened = r.withBody && std::string("ab0d4287 d3385a7b 03300cfa").find(outcome) > 99;
    EXPECT_EQ(window.ReplayWindowSize(), opened ? 1u : 0u) << outcome;
  }
}

TEST(PoolPackets, ServerMessagesOpenOnceWithinTheSessionAndTheWindowOf16) {
  PoolSession session;
  const fake_pool::Key16 key{5};
  session.TakeSessionKey(key, 3);
  session.sessionDeadline = SteadySeconds() + 100;
  auto open = [&](uint64_t nonce, const std::string& text, size_t length = 153) {
    Bytes m = fake_pool::BuildServerMessage(text, key, fake_pool::ServerNonce(nonce));
    m.resize(length);
    return ThrownText([&] {
      throw std::runtime_error("text " + OpenServerMessage(session, m.data(), m.size()));
    });
  };
  EXPECT_EQ(open(1, "hello"), "text hello");
  EXPECT_EQ(open(1, "hello"), "73493af8");  // opens, but its nonce was seen
  EXPECT_EQ(open(2, "x", 152), "7cfdcc27");
  EXPECT_EQ(open(2, std::string(128, 'a')), "text " + std::string(127, 'a'));
  for (uint64_t n = 3; n <= 17; ++n) EXPECT_EQ(open(n, "m"), "text m");
  EXPECT_EQ(session.ReplayWindowSize(), 16u);
  EXPECT_EQ(open(1, "again"), "text again");  // fell out of the window
  Bytes forged =
      fake_pool::BuildServerMessage("x", fake_pool::Key16{6}, fake_pool::ServerNonce(40));
  EXPECT_EQ(ThrownText([&] { OpenServerMessage(session, forged.data(), 153); }), "73493af8");
  session.NoteReplyNonce(99);
  session.TakeSessionKey(key, 4);  // the same key: same session, same window
  EXPECT_EQ(std::make_pair(session.Credentials().sessionId, session.ReplayWindowSize()),
            std::make_pair(int64_t{3}, size_t{17}));
  session.TakeSessionKey(fake_pool::Key16{6}, 4);
  EXPECT_EQ(std::make_pair(session.Credentials().sessionId, session.ReplayWindowSize()),
            std::make_pair(int64_t{4}, size_t{0}));
  session.TakeSessionKey(key, 5);
  EXPECT_EQ(open(50, "in time"), "text in time");
  session.sessionDeadline = SteadySeconds() - 1;
  EXPECT_EQ(open(51, "late"), "73493af8");
}

}  // namespace
