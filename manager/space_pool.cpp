#include "manager/space_pool.h"

#include <algorithm>

SpacePool::SpacePool(const std::vector<DirectoryState>& directories)
    : directories_(&directories), directoryLeft_(directories.size()) {
  for (size_t d = 0; d < directories.size(); ++d) {
    const DirectoryState& state = directories[d];
    const bool known = state.FreeBytes != kUnknownFreeBytes;
    directoryLeft_[d] = known ? state.FreeBytes : 0;
    const uint64_t device = known ? std::max(state.deviceFreeBytes, state.FreeBytes) : 0;
    // Figures of one device read at slightly different moments: trust the smallest.
    const auto [it, added] = deviceLeft_.emplace(state.device, device);
    if (!added) it->second = std::min(it->second, device);
  }
}

uint64_t SpacePool::Available(uint64_t d) const {
  return std::min(directoryLeft_[d], deviceLeft_.at((*directories_)[d].device));
}

bool SpacePool::Claim(uint64_t d, uint64_t bytes) {
  if (Available(d) < bytes) return false;
  directoryLeft_[d] -= bytes;
  deviceLeft_.at((*directories_)[d].device) -= bytes;
  return true;
}
