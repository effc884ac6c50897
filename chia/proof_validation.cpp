#include "chia/proof_validation.h"

#include <cstring>
#include <stdexcept>

#include "chia/find_matches.h"
#include "chia/fx.h"

int CheckPairMatch(uint64_t yA, uint64_t yB) {
  if (IsMatchingPair(yA, yB)) return 1;
  if (IsMatchingPair(yB, yA)) return 2;
  return 0;
}

ProofEntry LeafEntry(const uint8_t candidate[16], uint64_t f2, uint64_t groups) {
  ProofEntry entry;
  entry.y = ThinY(Fx3Or7(candidate, candidate + 8, f2), groups);
  std::memcpy(entry.meta, candidate, 16);
  return entry;
}

int ValidateNodePair(int table, const ProofEntry& a, const ProofEntry& b, ProofEntry& parent,
                     uint64_t groups) {
  const int order = CheckPairMatch(a.y, b.y);
  if (order == 0) return 0;
  const ProofEntry& left = order == 1 ? a : b;
  const ProofEntry& right = order == 1 ? b : a;
  parent = ProofEntry{};
  switch (table) {
    case 3:
      parent.y = ThinY(Fx4(left.meta, right.meta, left.y, parent.meta), groups);
      break;
    case 4:
      parent.y = ThinY(Fx5(left.meta, right.meta, left.y, parent.meta), groups);
      break;
    case 5:
      parent.y = ThinY(Fx6(left.meta, right.meta, left.y, parent.meta), groups);
      break;
    case 6: {
      // Table 6 keeps its metadata as a native word; f7 reads both sides big-endian.
      uint64_t l, r;
      std::memcpy(&l, left.meta, 8);
      std::memcpy(&r, right.meta, 8);
      l = __builtin_bswap64(l);
      r = __builtin_bswap64(r);
      parent.y = Fx3Or7(&l, &r, left.y);
      break;
    }
    default:
      throw std::invalid_argument("ValidateNodePair: table out of range");
  }
  return order;
}
