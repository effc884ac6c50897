#include "pool/packet_sender.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "pool/pool_session.h"
#include "pool/pool_socket.h"
#include "pool/watchdog.h"
#include "runtime/console_logger.h"
#include "runtime/stop_requested.h"

namespace {

// The live count of re-senders. Raised before a thread starts, so the exit-time wait never sees
// 0 while a re-sender is about to use the socket; lowered on every way out of one.
class ResenderCount {
 public:
  ~ResenderCount() { WaitUntilNone(); }

  void Raise() {
    std::lock_guard lock(mutex_);
    ++live_;
  }
  void Lower() {
    std::lock_guard lock(mutex_);
    --live_;
    ended_.notify_all();  // under the lock: the exit-time wait may destroy this object next
  }
  int64_t Live() {
    std::lock_guard lock(mutex_);
    return live_;
  }
  void WaitUntilNone() {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return live_ < 1; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  int64_t live_ = 0;
};

ResenderCount& Resenders() {
  static ResenderCount count;
  return count;
}

// Sends one copy; false after logging a failure.
bool SendCopy(const Packet& packet) {
  const std::string error = PoolSocketInstance().Send(packet.data(), packet.size());
  if (!error.empty()) {
    LogF("ERROR: error sending packet: %s", error.c_str());
    return false;
  }
  PoolSessionInstance().lastSend.store(SteadySeconds());
  return true;
}

// The body of a detached re-sender thread: the copies of one datagram still to send, spread
// over the window.
struct PacketResender {
  Packet packet;
  int32_t copies;
  int32_t windowMs;
  CancelPredicate cancel;

  void Run();
};

void PacketResender::Run() {
  if (cancel && cancel()) return;
  if (copies < 1 || StopRequested.load()) return;
  const int32_t interval = windowMs / copies;
  do {
    if (interval > 0) std::this_thread::sleep_for(std::chrono::milliseconds(interval));
    if (cancel && cancel()) return;
    if (!SendCopy(packet)) return;
    --copies;
  } while (!StopRequested.load() && copies != 0);
}

}  // namespace

void SendPacket(const Packet& packet, int32_t count, int32_t windowMs,
                const CancelPredicate* cancel) {
  if (count <= 0) return;
  if (!SendCopy(packet)) return;
  const int32_t total = PoolSessionInstance().CopyMultiplier.load() * count;
  if (total <= 1) return;  // no copies left for a re-sender

  ResenderCount& resenders = Resenders();
  resenders.Raise();
  try {
    PacketResender resender{packet, total - 1, windowMs,
                            cancel != nullptr ? *cancel : CancelPredicate()};
    std::thread([resender = std::move(resender)]() mutable {
      try {
        resender.Run();
      } catch (const std::exception& e) {
        LogF("ERROR: error sending packet: %s", e.what());
      } catch (...) {
        LogF("ERROR: error sending packet: %s", "unknown failure");
      }
      Resenders().Lower();
    }).detach();
  } catch (const std::exception& e) {
    resenders.Lower();
    LogF("ERROR: error sending packet: %s", e.what());
  }
}

CancelPredicate HelloResendCancel(int64_t clientTime) {
  return [clientTime] { return PoolSessionInstance().clientTime.load() != clientTime; };
}

int64_t LiveResenders() { return Resenders().Live(); }

void WaitForResenders() { Resenders().WaitUntilNone(); }

void InitPoolProcessObjects() {
  PoolSessionInstance();
  PoolSocketInstance();
  WatchdogInstance();
  Resenders();
}
