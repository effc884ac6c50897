#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "manager/scanned_file.h"

// The free space one planning decision draws on. Directories on one file system share its free
// bytes, so every claim counts once against its directory's own figure (which includes the
// user's space limit) and once against its device.
class SpacePool {
 public:
  // Directories of unknown free space offer nothing.
  explicit SpacePool(const std::vector<DirectoryState>& directories);

  // What a further claim in directory d may take.
  uint64_t Available(uint64_t d) const;
  // Takes bytes in d; false, with nothing taken, when they do not fit.
  bool Claim(uint64_t d, uint64_t bytes);

 private:
  const std::vector<DirectoryState>* directories_;
  std::vector<uint64_t> directoryLeft_;
  std::map<uint64_t, uint64_t> deviceLeft_;
};
