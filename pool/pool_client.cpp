#include "pool/pool_client.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <thread>

#include "chia/blake3_hash.h"
#include "chia/deployment.h"
#include "manager/client.h"
#include "pool/client_packets.h"
#include "pool/ntp_clock.h"
#include "pool/packet_sender.h"
#include "pool/pool_session.h"
#include "pool/pool_share_request.h"
#include "pool/pool_socket.h"
#include "pool/settings.h"
#include "pool/socket_connection.h"
#include "pool/watchdog.h"
#include "runtime/console_logger.h"
#include "runtime/option_values.h"
#include "runtime/stop_requested.h"

namespace {

constexpr const char* kUpdateKindNames[] = {"", "critical", "security", "performance", "new"};

[[noreturn]] void Fail(const char* text) { throw std::runtime_error(text); }

}  // namespace

PoolClient::PoolClient(PoolClientSetup setup)
    : setup_(std::move(setup)),
      poolKey_(bls::G1Element::FromBytes(bls::Bytes(setup_.poolPublicKey.data(), 48))),
      resolver_(setup_.resolver, SettingsCacheInstance()),
      rng_(std::random_device{}()) {
  if (!setup_.client) setup_.client = [] { return ClientInstance().Get(); };
  if (!setup_.updateStep) setup_.updateStep = [] { UpdaterInstance().Step(); };
  if (!setup_.updateState)
    setup_.updateState = [] {
      std::lock_guard lock(UpdaterInstance().mutex);
      return UpdaterInstance().state;
    };
  if (!setup_.startDownload) {
    setup_.startDownload = [](const Updater::InfoHash& hash, uint8_t ratio, uint8_t minutes) {
      std::lock_guard lock(UpdaterInstance().mutex);
      UpdaterInstance().StartDownload(hash, ratio, minutes);
    };
  }
  if (setup_.watchdog == nullptr) setup_.watchdog = &WatchdogInstance();
}

int64_t PoolClient::Steady() const {
  return setup_.steadySeconds ? setup_.steadySeconds() : SteadySeconds();
}

int64_t PoolClient::System() const {
  return setup_.systemSeconds ? setup_.systemSeconds() : static_cast<int64_t>(std::time(nullptr));
}

void PoolClient::SleepSecond() const {
  if (setup_.sleepSecond) {
    setup_.sleepSecond();
  } else {
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

void PoolClient::SaveCacheFile() const {
  if (setup_.resolver.saveCache) setup_.resolver.saveCache();
}

void PoolClient::WaitForClientFinished(Client& client, int seconds) {
  for (int i = 0; i < seconds && !client.IsFinished(); ++i) SleepSecond();
}

void PoolClient::ReportAlarmingEvent() {
  if (WatchdogModeFlag != 0) setup_.watchdog->AlarmingEvent();
}

void PoolClient::Run() {
  // A run that is over before it started asks no clock.
  Client* client = setup_.client();
  if (client == nullptr || client->IsFinished()) return;
  // A failing clock check must not end the thread: the session starts on the system clock.
  try {
    sessionOffset_ = setup_.clockOffset ? setup_.clockOffset() : 0;
  } catch (const std::exception& e) {
    LogF("UDP protocol error: %s", e.what());
  } catch (...) {
    LogLine("UDP protocol error: unknown failure");
  }
  while (Pass()) {
  }
}

bool PoolClient::Pass() {
  Client* client = setup_.client();
  if (client == nullptr) return false;
  try {
    return PassSteps(*client);
  } catch (const std::exception& e) {
    LogF("UDP protocol error: %s", e.what());
  } catch (...) {
    LogLine("UDP protocol error: unknown failure");
  }
  PoolSocketInstance().Close();
  connected_ = false;
  WaitForClientFinished(*client, 5);
  return true;
}

bool PoolClient::PassSteps(Client& client) {
  PoolSession& session = PoolSessionInstance();
  if (client.IsFinished()) return false;
  setup_.updateStep();
  if (setup_.updateState() == UpdaterState::Installed && client.RequestStop() == 0) return false;
  const int64_t now = Steady();

  if (connected_) {
    if (session.lastReceive.load() + 60 < now || session.sessionDeadline.load() < now) {
      LogLine("Connection lost, reconnecting");
      connected_ = false;
    } else {
      const int64_t refresh = session.refreshTime.load();
      if (refresh != 0 && refresh < now && session.lastHelloTime.load() + 10 < now) {
        SendHello(&sessionOffset_);
        session.lastHelloTime = Steady();
      }
      if (session.lastSend.load() + 3 < now) {
        SendPacket(BuildKeepalive(session.Credentials(), session.NextNonce()), 1, 2000, nullptr);
      }
      return Receive(client);
    }
  }

  session.lastSignagePointIndex = -1;
  SettingsCacheInstance().HelloPlotId = {};
  if (session.lastHelloTime.load() + 10 >= now) return Receive(client);
  if (!firstPass_) ReportAlarmingEvent();
  firstPass_ = false;
  PoolSocketInstance().Close();
  if (client.StartupScanPending.load() != 0) {
    if (!client.IsFinished()) SleepSecond();
    return true;
  }
  if (client.MiningOff()) Fail("46A20471");
  if (client.HelloCandidates().empty()) {
    WaitForClientFinished(client, 5);
    return true;
  }
  const std::string address = resolver_.NextAddress();
  if (address.empty()) {
    WaitForClientFinished(client, 3);
    return true;
  }
  LogLine("Connecting to " + address);
  const NameLookup& lookup =
      setup_.resolver.lookup ? setup_.resolver.lookup : NameLookup(SystemNameLookup);
  const int fd = ConnectSocket(address, setup_.service, setup_.socketTimeout, lookup,
                               setup_.resolver.addressFamily);
  if (fd < 0) {
    WaitForClientFinished(client, 5);
    return true;
  }
  PoolSocketInstance().Replace(fd);
  if (!printerStarted_) {
    printerStarted_ = true;
    if (setup_.onFirstConnection) setup_.onFirstConnection();
  }
  int64_t offset = setup_.clockOffset ? setup_.clockOffset() : 0;
  SendHello(&offset);
  session.lastHelloTime = Steady();
  connected_ = false;
  return Receive(client);
}

bool PoolClient::Receive(Client& client) {
  const int fd = PoolSocketInstance().ReceiveFd();
  // After a failure the socket is closed until the next attempt: wait instead of receiving.
  if (fd < 0) {
    if (!client.IsFinished()) SleepSecond();
    return true;
  }
  uint8_t buffer[kPacketBytes] = {};
  const ssize_t length = ::recv(fd, buffer, sizeof buffer, 0);
  if (length < 0) {
    const int error = errno;
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) return true;
    if (Verbosity != 0) LogF("recv: %s", std::strerror(error));
    for (int expected : {EMSGSIZE, ENETRESET, ECONNRESET, ECONNREFUSED, EHOSTDOWN, EHOSTUNREACH}) {
      if (error == expected) return true;
    }
    Fail(std::strerror(error));
  }
  const int64_t t = Steady();
  try {
    if (length == 0) Fail("e9cac5dd");
    switch (static_cast<PacketType>(buffer[0])) {
      case PacketType::SignagePoint:
        HandleSignagePoint(buffer, length, t);
        break;
      case PacketType::ServerMessage:
        HandleServerMessage(buffer, length, t);
        break;
      case PacketType::HandshakeReply:
        HandleHandshakeReply(client, buffer, length, t);
        break;
      default:
        if (Verbosity != 0) Fail("66b2a7d1");
    }
  } catch (const std::exception& e) {
    LogF("Server packet processing error: %s", e.what());
  }
  return !done_;
}

void PoolClient::HandleServerMessage(uint8_t* datagram, size_t length, int64_t t) {
  LogLine(OpenServerMessage(PoolSessionInstance(), datagram, length));
  PoolSessionInstance().lastReceive = t;
}

void PoolClient::HandleHandshakeReply(Client& client, const uint8_t* datagram, size_t length,
                                      int64_t t) {
  PoolSession& session = PoolSessionInstance();
  SettingsCache& cache = SettingsCacheInstance();
  const PendingHello hello{session.clientTime.load(), System() + session.helloClockOffset.load(),
                           session.helloKey.get()};
  const std::optional<HandshakeReply> reply = OpenHandshakeReply(datagram, length, hello, poolKey_);
  if (!reply) {
    if (Verbosity != 0) Fail("Received old or invalid packet");
    return;
  }
  sessionOffset_ = session.helloClockOffset.load();
  session.clientTime = 0;
  session.TakeSessionKey(reply->sessionKey, reply->sessionId);
  const int64_t deadline = t + reply->lifetime;
  session.sessionDeadline = deadline;
  session.refreshTime = std::max(deadline - 15 - static_cast<int64_t>(rng_() % 120), t);
  if (resolver_.CurrentKind() == CandidateKind::HostName) {
    cache.CachedServerAddresses = resolver_.Resolved();
    cache.CacheTime = std::time(nullptr);
    SaveCacheFile();
  }
  session.helloKey.reset();

  if (reply->hasBody) {
    const ReplyBody body =
        OpenReplyBody(datagram, length, session.Credentials().key, UpdatePolicy, &session);
    if (!body.text.empty()) LogLine(body.text);
    if (body.kind == 0) {
      LogLine("Unsupported server protocol, please download new version");
      client.RequestShutdown(false);
      done_ = true;
      return;
    }
    if (body.kind > 0) {
      ApplyUpdateAnnouncement(client, body.kind, body.announcement);
      if (done_) return;
    }
  }
  if (reply->serverToken != cache.ServerToken) {
    cache.ServerToken = reply->serverToken;
    SaveCacheFile();
  }
  if (reply->cacheDelay != 0) {
    const int wait = reply->cacheDelay + 1;
    LogF("Updating cache, reconnect in %ds", wait);
    while (!client.IsFinished() && Steady() < t + wait) SleepSecond();
    connected_ = false;
    return;
  }
  session.CopyMultiplier = reply->copyMultiplier;
  if (!connected_) LogLine("Connection established");
  session.lastSend = session.lastHelloTime.load();
  session.lastReceive = t;
  connected_ = true;
}

void PoolClient::ApplyUpdateAnnouncement(Client& client, int8_t kind, const UpdateAnnouncement& a) {
  const UpdateDescriptor update = CheckUpdateAnnouncement(a, setup_.UpdateKey);
  if (update.infoHash != lastAnnouncedHash_) {
    LogF("Found %s update, downloading...", kUpdateKindNames[kind]);
    lastAnnouncedHash_ = update.infoHash;
  }
  setup_.startDownload(update.infoHash, update.shareRatioTarget, update.seedingMinutes);
  if (kind != 1) return;
  // A critical update holds the session until it is installed or has failed.
  for (;;) {
    setup_.updateStep();
    if (setup_.updateState() == UpdaterState::Installed) break;
    setup_.updateStep();
    if (setup_.updateState() == UpdaterState::Failed || StopRequested.load()) break;
    WaitForClientFinished(client, 3);
  }
  client.RequestShutdown(false);
  done_ = true;
}

bool PoolClient::ChooseHelloPlot(Client& client, std::array<uint8_t, 32>& id) {
  std::vector<Client::HelloCandidate> candidates = client.HelloCandidates();
  auto failed = [this](const Client::HelloCandidate& c) {
    return failedHelloPlots_.count(c.id) != 0;
  };
  if (std::all_of(candidates.begin(), candidates.end(), failed)) {
    failedHelloPlots_.clear();  // nothing else to try: the failures may have passed
  } else {
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(), failed),
                     candidates.end());
  }
  if (candidates.empty()) return false;
  const std::array<uint8_t, 32>& preferred = SettingsCacheInstance().HelloPlotId;
  for (const Client::HelloCandidate& candidate : candidates) {
    if (candidate.id == preferred) {
      id = candidate.id;
      return true;
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const auto& a, const auto& b) { return a.creationTime < b.creationTime; });
  const size_t count = std::min<size_t>(candidates.size(), 8);
  id = candidates[rng_() % count].id;
  return true;
}

void PoolClient::SendHello(int64_t* clockOffset) {
  PoolSession& session = PoolSessionInstance();
  Client* client = setup_.client();
  if (client == nullptr) return;
  session.helloKey = HelloKey::Generate();
  HelloFields fields;
  fields.modulus = session.helloKey->Modulus();
  fields.serverToken = SettingsCacheInstance().ServerToken;
  fields.updatePolicy = UpdatePolicy;
  const SessionCredentials credentials = session.Credentials();
  const uint64_t nonce = credentials.sessionId >= 0 ? session.NextNonce() : 0;

  // Until a plot proves itself, or the run ends.
  while (!client->IsFinished() && !StopRequested.load()) {
    const int64_t clientTime = System() + *clockOffset;
    session.clientTime = clientTime;
    session.helloClockOffset = *clockOffset;
    fields.clientTime = static_cast<uint32_t>(clientTime);
    uint8_t timeBytes[4];
    StoreLe<uint32_t>(timeBytes, fields.clientTime);
    uint8_t challenge[32];
    Blake3Hash(timeBytes, 4, challenge);
    if (client->MiningOff()) Fail("095DC05B");
    std::array<uint8_t, 32> id;
    if (ChooseHelloPlot(*client, id)) {
      uint32_t proof[64];
      const int proved = client->ProveHelloPlot(id, challenge, rng_(), proof);
      if (proved > 0) {
        std::memcpy(fields.proof.data(), proof, sizeof proof);
        fields.plotId = id;
        SettingsCacheInstance().HelloPlotId = id;
        break;
      }
      if (proved < 0) failedHelloPlots_.insert(id);
      // Rather than wait some 2^d seconds for a thinned plot to answer, the hello goes without
      // a proof.
      if (client->ThinnedPlots()) break;
    }
    if (!client->IsFinished()) SleepSecond();
  }
  const CancelPredicate cancel = HelloResendCancel(session.clientTime.load());
  SendPacket(BuildHello(fields, credentials, nonce), 4, 8000, &cancel);
}

void PoolClient::HandleSignagePoint(const uint8_t* datagram, size_t length, int64_t t) {
  namespace s = signage_point_layout;
  PoolSession& session = PoolSessionInstance();
  if (length != s::kBytes) Fail("83ff4ca8");
  if (firstSignagePoint_) {
    firstSignagePoint_ = false;
    LastAckTime = t;
  } else if (LastAckTime < t) {
    SendPacket(BuildSignagePointAck(session.Credentials(), session.NextNonce(),
                                    datagram + s::kSignagePointHash),
               1, 1000, nullptr);
    LastAckTime = t;
  }
  std::array<uint8_t, 32> hash;
  std::memcpy(hash.data(), datagram + s::kSignagePointHash, 32);
  if (SeenSignagePoints.count(hash) != 0) return;
  const SignagePoint point = CheckSignagePoint(datagram, length, setup_.ServerKey);
  const int32_t expiry = static_cast<int32_t>(static_cast<uint32_t>(point.time) + 60);
  if (expiry < System() + sessionOffset_) {
    LogLine("WARNING: Received very old signage point, ignoring");
    return;
  }
  TrackMissedSignagePoints(point.index, point.timeLimitSeconds, t);
  // A point stays seen until the age check would refuse it too: with the clock ahead of the
  // server, expiring it by the system clock alone would let a replay pass as a new point.
  const int64_t unixNow = System(), seenUntil = std::min(unixNow, unixNow + sessionOffset_);
  std::erase_if(SeenSignagePoints,
                [seenUntil](const auto& entry) { return entry.second + int64_t{60} < seenUntil; });
  SeenSignagePoints.emplace(hash, point.time);
  LogLine("Signage point " + ShortHexId(hash.data()));
  Client* client = setup_.client();
  if (client == nullptr) return;
  client->SubmitSignagePoint(std::make_shared<PoolShareRequest>(point),
                             uint64_t{1000} * point.timeLimitSeconds);
  session.lastReceive = t;
}

void PoolClient::TrackMissedSignagePoints(int32_t index, uint8_t timeLimit, int64_t t) {
  PoolSession& session = PoolSessionInstance();
  int32_t last = session.lastSignagePointIndex.load();
  if (last < 0 || index > 63) {
    MissedSignagePoints.clear();
    session.lastSignagePointIndex = index;
    return;
  }
  const int32_t gap = (index + 64 - last) % 64;
  if (gap <= 31) {
    for (int32_t i = (last + 1) % 64; gap > 1 && i != index; i = (i + 1) % 64) {
      MissedSignagePoints[i] = t;
    }
    last = index;
  }
  session.lastSignagePointIndex = last;
  MissedSignagePoints.erase(index);
  const size_t before = MissedSignagePoints.size();
  std::erase_if(MissedSignagePoints,
                [&](const auto& entry) { return entry.second + timeLimit < t; });
  const int missed = static_cast<int>(before - MissedSignagePoints.size());
  if (missed == 0) return;
  LogF("WARNING: Missed %d signage point%s", missed, missed == 1 ? "" : "s");
  ReportAlarmingEvent();
}

void PoolClientMain() {
  try {
    const Deployment& deployment = ActiveDeployment();
    PoolClientSetup setup;
    setup.resolver = SystemResolverSetup(deployment.poolHosts, deployment.resolverAddress);
    auto ntp = std::make_shared<NtpClock>(NtpClock::Setup{deployment.ntpHost});
    setup.clockOffset = [ntp] { return NoNtpFlag != 0 ? 0 : ntp->GetOffset(); };
    setup.onFirstConnection = [] { ConsoleLoggerInstance().StartPrinter(); };
    PoolClient(std::move(setup)).Run();
  } catch (const std::exception& e) {
    LogF("UDP protocol error: %s", e.what());
  } catch (...) {
    LogLine("UDP protocol error: unknown failure");
  }
}
