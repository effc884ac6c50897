#include "manager/start_back_off.h"

#include <algorithm>

void StartBackOff::Failed(TimePoint now) {
  failures_ = std::min<uint32_t>(failures_ + 1, 7);
  pauseEnd_ = now + std::chrono::seconds(std::min<uint64_t>(600, uint64_t{10} << (failures_ - 1)));
}
