#include "pool/pool_client.h"

#include <chrono>
#include <thread>

#include "manager/client.h"
#include "update/updater.h"

void PoolClientMain() {
  constexpr auto kReceiveTimeout = std::chrono::seconds(3);
  for (;;) {
    Client* client = ClientInstance().Get();
    if (client == nullptr || client->IsFinished()) return;
    UpdaterInstance().Step();
    std::this_thread::sleep_for(kReceiveTimeout);
  }
}
