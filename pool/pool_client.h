#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>

#include "chia/bls/g1_element.h"
#include "chia/deployment.h"
#include "pool/packet_layout.h"
#include "pool/server_packets.h"
#include "pool/server_resolver.h"
#include "update/updater.h"

class Client;
class Watchdog;

// The pool client thread body: it serves the pool session until the Client is finished, a
// critical update has run its course or the server no longer supports this client, then returns.
// Never throws.
void PoolClientMain();

// What the pool client is made of: PoolClientMain passes the deployment's and the system's,
// tests their own.
struct PoolClientSetup {
  ResolverSetup resolver;
  std::string service = kPoolService;
  double socketTimeout = 3.0;  // seconds; also the receive wait of each pass
  // Seconds to add to the system clock; unset: 0.
  std::function<int64_t()> clockOffset;
  // The pool's keys: the linked deployment's unless a test brings its own.
  std::array<uint8_t, 48> poolPublicKey = ActiveDeployment().poolPublicKey;
  std::array<uint8_t, 32> ServerKey = ActiveDeployment().ServerKey;
  std::array<uint8_t, 32> UpdateKey = ActiveDeployment().UpdateKey;
  std::function<int64_t()> steadySeconds;  // unset: the steady clock
  std::function<int64_t()> systemSeconds;  // unset: Unix seconds
  std::function<void()> sleepSecond;       // unset: sleeps one second
  std::function<Client*()> client;         // unset: the process-wide Client
  // The self-update; unset: the process-wide Updater.
  std::function<void()> updateStep;
  std::function<UpdaterState()> updateState;
  std::function<void(const Updater::InfoHash&, uint8_t, uint8_t)> startDownload;
  Watchdog* watchdog = nullptr;  // unset: the process-wide watchdog
  std::function<void()> onFirstConnection;
};

// The pool session of one thread: connects, proves possession of a plot in its hello, keeps the
// session alive and renewed, reconnects after silence, follows server messages and update
// announcements, and hands each signage point to the proof search.
class PoolClient {
 public:
  explicit PoolClient(PoolClientSetup setup);

  // The clock check, then passes until one says to return. Never throws.
  void Run();
  // One pass of the loop, ending in a receive; false when the thread is to return. Failures are
  // logged; after one of the loop itself the socket is closed and the session reconnects.
  bool Pass();

  void SendHello(int64_t* clockOffset);
  void HandleSignagePoint(const uint8_t* datagram, size_t length, int64_t t);
  void TrackMissedSignagePoints(int32_t index, uint8_t timeLimit, int64_t t);
  bool Connected() const { return connected_; }

 private:
  bool PassSteps(Client& client);
  bool Receive(Client& client);
  void HandleHandshakeReply(Client& client, const uint8_t* datagram, size_t length, int64_t t);
  void HandleServerMessage(uint8_t* datagram, size_t length, int64_t t);
  void ApplyUpdateAnnouncement(Client& client, int8_t kind, const UpdateAnnouncement& a);
  // Sleeps up to `seconds` one second at a time, ending early once the Client has finished.
  void WaitForClientFinished(Client& client, int seconds);
  void ReportAlarmingEvent();
  bool ChooseHelloPlot(Client& client, std::array<uint8_t, 32>& id);
  int64_t Steady() const;
  int64_t System() const;
  void SleepSecond() const;
  void SaveCacheFile() const;

  PoolClientSetup setup_;
  const bls::G1Element poolKey_;
  ServerResolver resolver_;
  std::mt19937_64 rng_;
  bool connected_ = false;
  bool firstPass_ = true;
  bool printerStarted_ = false;
  bool done_ = false;  // the thread is to return after this pass
  int64_t sessionOffset_ = 0;
  Updater::InfoHash lastAnnouncedHash_{};
  // Signage-point hash to its time, kept 60 s; index to when it was found missing.
  std::map<std::array<uint8_t, 32>, int32_t> SeenSignagePoints;
  std::map<int32_t, int64_t> MissedSignagePoints;
  bool firstSignagePoint_ = true;
  int64_t LastAckTime = 0;
  // Plots whose hello proof failed; left out of the choice while any other plot is mined.
  std::set<std::array<uint8_t, 32>> failedHelloPlots_;
};
