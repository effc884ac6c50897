#pragma once

#include <cstdint>

#include "chia/bc_group.h"

// Checks of a proof's tree of entries, one sibling pair at a time, from the table-3 entries of
// its leaves up to the table-7 output.

// One entry of a proof level: its output and its metadata in the form the next Fx takes
// (table 3: four big-endian x values; tables 4-6: the Fx output forms of chia/fx.h).
struct ProofEntry {
  uint64_t y = 0;
  uint8_t meta[16] = {};
};

// Pair order of two sibling entries: 0 they do not match, 1 a comes first (a's group precedes
// b's), 2 b comes first.
int CheckPairMatch(uint64_t yA, uint64_t yB);

// The table-3 entry of a recomputed leaf candidate: its 16 bytes (two x pairs, four big-endian
// x values) and the f2 of its first pair. A thinned plot (`groups` below kGroupsPerBucket)
// matches thinned outputs, so the entry's y is thinned like every output up to table 6.
ProofEntry LeafEntry(const uint8_t candidate[16], uint64_t f2, uint64_t groups = kGroupsPerBucket);

// Two sibling entries of table `table` (3..6): when they match in either order, writes their
// parent of table + 1 (for table 6 only the f7 output) and returns the order as CheckPairMatch.
int ValidateNodePair(int table, const ProofEntry& a, const ProofEntry& b, ProofEntry& parent,
                     uint64_t groups = kGroupsPerBucket);
