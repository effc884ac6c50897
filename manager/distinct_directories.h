#pragma once

#include <vector>

#include "manager/directory_spec.h"

// Throws std::runtime_error when two specs name one directory (same device and inode, however
// spelled or linked): its files would be counted, claimed and planned for twice. A directory
// that cannot be looked up is left to the scan to report.
void CheckDistinctDirectories(const std::vector<DirectorySpec>& directories);
