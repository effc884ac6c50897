#include "prover/proof_tree.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "plotter/combination_tables.h"
#include "prover/level_thresholds.h"
#include "runtime/file_error_texts.h"

namespace {

uint32_t LoadBig32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

uint32_t LargestX(const uint8_t candidate[16]) {
  return std::max({LoadBig32(candidate), LoadBig32(candidate + 4), LoadBig32(candidate + 8),
                   LoadBig32(candidate + 12)});
}

void QueueRead(ProofTreeState& tree, uint32_t node) {
  ProofNode& n = tree.nodes[node];
  if (n.queuedForRead != 0) return;
  n.queuedForRead = 1;
  tree.readList[tree.readCount++] = static_cast<uint8_t>(node);
}

// The children's positions of a node whose value is known.
void DecodeInner(ProofTreeState& tree, uint32_t node, uint64_t& first, uint64_t& second) {
  ProofTree::DecodeLinePoint(tree.data.values[node], first, second);
  tree.nodes[ProofTree::FirstChild(node)].position = first;
  tree.nodes[ProofTree::SecondChild(node)].position = second;
  tree.nodes[node].decoded = 1;
}

// Decodes an undecoded inner node and settles its order when the children lie far apart.
ProofTree::Status DecodeForOrder(ProofTreeState& tree, uint32_t node) {
  ProofNode& n = tree.nodes[node];
  if (n.resolved != 0 || n.decoded != 0) return ProofTree::Status::kReady;
  if (n.valueKnown == 0) {
    QueueRead(tree, node);
    return ProofTree::Status::kWaiting;
  }
  uint64_t first = 0, second = 0;
  DecodeInner(tree, node, first, second);
  if (first - second >= LevelThresholds[ProofTree::NodeLevel(node)]) {
    n.resolved = 1;
    n.orderBit = 0;
  }
  return ProofTree::Status::kReady;
}

// The leaf under `node` that holds its subtree's largest x.
ProofTree::Status DecodeLinePoints(ProofTreeState& tree, uint32_t node, uint32_t& leaf) {
  while (node >= kProofLeafCount) {
    ProofTree::Status status = DecodeForOrder(tree, node);
    if (status == ProofTree::Status::kReady && tree.nodes[node].resolved == 0) {
      status = ProofTree::ResolveOrder(tree, node);
    }
    if (status != ProofTree::Status::kReady) return status;
    node = tree.nodes[node].orderBit == 0 ? ProofTree::FirstChild(node)
                                          : ProofTree::SecondChild(node);
  }
  leaf = node;
  return ProofTree::Status::kReady;
}

// Both children are tried before waiting, so their reads are queued together.
ProofTree::Status Worse(ProofTree::Status a, ProofTree::Status b) {
  if (a == ProofTree::Status::kFallback || b == ProofTree::Status::kFallback) {
    return ProofTree::Status::kFallback;
  }
  return a == ProofTree::Status::kWaiting ? a : b;
}

}  // namespace

ProofTreeState::ProofTreeState() {
  std::memset(&data, 0, sizeof(data));
  std::fill(std::begin(data.values), std::end(data.values), ~uint64_t{0});
}

namespace ProofTree {

uint32_t NodeTable(uint32_t node) {
  if (node < 16) return 0;
  if (node < 24) return 1;
  if (node < 28) return 2;
  if (node < 30) return 3;
  if (node == 30) return 4;
  throw std::runtime_error("FB51D887");
}

uint32_t NodeLevel(uint32_t node) { return NodeTable(node) - 1; }

uint32_t FirstChild(uint32_t node) {
  if (node < kProofLeafCount) throw std::runtime_error("A6CD5C84");
  return 2 * node - 32;
}

uint32_t SecondChild(uint32_t node) {
  if (node < kProofLeafCount) throw std::runtime_error("8952F39D");
  return 2 * node - 31;
}

void DecodeLinePoint(uint64_t value, uint64_t& first, uint64_t& second) {
  auto x = static_cast<uint64_t>(std::sqrt(2.0 * static_cast<double>(value)));
  // value - x(x - 1)/2 without overflowing the product.
  uint64_t y = value - std::max((x / 2) * (x - 1), ((x - 1) / 2) * x);
  if (x <= y) {
    y -= x;
    ++x;
  }
  first = x;
  second = y;
}

void DecodeLeafPrefixes(uint64_t value, uint8_t level, uint32_t prefixes[4]) {
  auto component = [&value](const uint64_t* table, const char* code) {
    const uint64_t index = static_cast<uint64_t>(
        std::upper_bound(table, table + CombinationTableSet::kSize, value) - table);
    if (index > CombinationTableSet::kSize - 1) throw std::runtime_error(code);
    value -= table[index - 1];
    return index - 1;
  };
  const uint64_t a = component(CombinationTables.c4, "ED03641D");
  const uint64_t b = component(CombinationTables.c3, "4C27056E");
  const uint64_t c = component(CombinationTables.c2, "414B40AC");
  const uint64_t parts[4] = {a, b, c, value};
  for (int i = 0; i < 4; ++i) {
    if (parts[i] >= uint64_t{1} << (16 - level)) {
      throw std::runtime_error(FileErrorText(FileError::kInvalidPlotFile, "5E0C93A1"));
    }
    prefixes[i] = static_cast<uint32_t>(parts[i]);
  }
}

bool MarkNode(ProofTreeState& tree, uint32_t leaf) {
  if (leaf >= kProofLeafCount) throw std::runtime_error("BFF687C8");
  ProofNode& n = tree.nodes[leaf];
  if (n.resolved != 0 || n.queuedForRecompute != 0) return n.resolved != 0;
  if (n.valueKnown != 0) {
    n.queuedForRecompute = 1;
    tree.recomputeList[tree.recomputeCount++] = static_cast<uint8_t>(leaf);
    return false;
  }
  QueueRead(tree, leaf);
  return false;
}

Status ResolveNode(ProofTreeState& tree, uint32_t leaf, uint32_t& lowest, uint32_t& highest) {
  if (leaf >= kProofLeafCount) throw std::runtime_error("231624BE");
  if (!MarkNode(tree, leaf)) return Status::kWaiting;
  const uint64_t count = tree.data.candidateCounts[leaf];
  if (count == 0) throw std::runtime_error("8BC29442");
  lowest = UINT32_MAX;
  highest = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t x = LargestX(tree.data.candidates[leaf][i]);
    lowest = std::min(lowest, x);
    highest = std::max(highest, x);
  }
  return Status::kReady;
}

Status ExpandNode(ProofTreeState& tree, uint32_t leaf, bool& changed) {
  if (leaf >= kProofLeafCount) throw std::runtime_error("61F03AC4");
  const uint32_t sibling = leaf ^ 1;
  changed = false;
  if (!MarkNode(tree, sibling)) return Status::kWaiting;
  ProofTreeData& d = tree.data;
  const uint64_t count = d.candidateCounts[leaf];
  const uint64_t siblingCount = d.candidateCounts[sibling];
  if (count == 0) throw std::runtime_error("77D9541E");
  if (siblingCount == 0) throw std::runtime_error("2B28A9C3");
  uint64_t siblingY[kLeafCandidates];
  for (uint64_t j = 0; j < siblingCount; ++j) {
    siblingY[j] =
        LeafEntry(d.candidates[sibling][j], d.candidateData[sibling][j], tree.scaleGroups).y;
  }
  uint64_t kept = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t y =
        LeafEntry(d.candidates[leaf][i], d.candidateData[leaf][i], tree.scaleGroups).y;
    bool matches = false;
    for (uint64_t j = 0; j < siblingCount && !matches; ++j) {
      matches = CheckPairMatch(y, siblingY[j]) != 0;
    }
    if (!matches) continue;
    if (kept != i) {
      std::memcpy(d.candidates[leaf][kept], d.candidates[leaf][i], 16);
      d.candidateData[leaf][kept] = d.candidateData[leaf][i];
    }
    ++kept;
  }
  if (kept == 0) throw std::runtime_error(FileErrorText(FileError::kInvalidPlotFile, "982FD831"));
  changed = kept != count;
  d.candidateCounts[leaf] = kept;
  return Status::kReady;
}

Status ResolveOrder(ProofTreeState& tree, uint32_t node) {
  const uint32_t firstChild = FirstChild(node), secondChild = SecondChild(node);
  for (;;) {
    uint32_t a = 0, b = 0;
    Status status =
        Worse(DecodeLinePoints(tree, firstChild, a), DecodeLinePoints(tree, secondChild, b));
    if (status != Status::kReady) return status;
    uint32_t lowA = 0, highA = 0, lowB = 0, highB = 0;
    status = Worse(ResolveNode(tree, a, lowA, highA), ResolveNode(tree, b, lowB, highB));
    if (status != Status::kReady) return status;
    ProofNode& n = tree.nodes[node];
    if (highA < lowB || lowA > highB) {
      n.orderBit = highA < lowB ? 1 : 0;
      n.resolved = 1;
      return Status::kReady;
    }
    bool changed = false;
    if (tree.data.candidateCounts[a] > 1) {
      if (ExpandNode(tree, a, changed) == Status::kWaiting) return Status::kWaiting;
      if (changed) continue;
    }
    if (tree.data.candidateCounts[b] < 2) {
      tree.fallback = 1;
      return Status::kFallback;
    }
    if (ExpandNode(tree, b, changed) == Status::kWaiting) return Status::kWaiting;
    if (!changed) {
      tree.fallback = 1;
      return Status::kFallback;
    }
  }
}

Status WalkToPair(ProofTreeState& tree, uint32_t& current, uint8_t challengeByte31,
                  uint64_t& xPair) {
  while (current >= kProofLeafCount) {
    Status status = DecodeForOrder(tree, current);
    if (status == Status::kReady && tree.nodes[current].resolved == 0) {
      status = ResolveOrder(tree, current);
    }
    if (status != Status::kReady) return status;
    const uint32_t bit = (challengeByte31 >> (NodeLevel(current) + 1)) & 1;
    const uint32_t order = tree.nodes[current].orderBit;
    current = order == bit ? SecondChild(current) : FirstChild(current);
  }
  if (!MarkNode(tree, current)) return Status::kWaiting;
  if (tree.data.candidateCounts[current] == 0) throw std::runtime_error("8BC29442");
  if (tree.data.candidateCounts[current] > 1) {
    bool changed = false;
    if (ExpandNode(tree, current, changed) == Status::kWaiting) return Status::kWaiting;
  }
  const uint8_t* c = tree.data.candidates[current][0];
  auto pair = [](uint32_t u, uint32_t v) {
    return uint64_t{std::max(u, v)} << 32 | std::min(u, v);
  };
  uint64_t a = pair(LoadBig32(c), LoadBig32(c + 4));
  uint64_t b = pair(LoadBig32(c + 8), LoadBig32(c + 12));
  if (b < a) std::swap(a, b);
  const uint64_t chosen = (challengeByte31 & 1) != 0 ? b : a;
  const uint32_t bytes[2] = {__builtin_bswap32(static_cast<uint32_t>(chosen)),
                             __builtin_bswap32(static_cast<uint32_t>(chosen >> 32))};
  std::memcpy(&xPair, bytes, 8);
  return Status::kReady;
}

bool DecodeNode(ProofTreeState& tree, uint32_t node) {
  if (node < kProofLeafCount) return MarkNode(tree, node);
  ProofNode& n = tree.nodes[node];
  if (n.decoded == 0) {
    if (n.valueKnown == 0) {
      QueueRead(tree, node);
      return false;
    }
    uint64_t first = 0, second = 0;
    DecodeInner(tree, node, first, second);
  }
  const bool first = DecodeNode(tree, FirstChild(node));
  const bool second = DecodeNode(tree, SecondChild(node));
  return first && second;
}

}  // namespace ProofTree

bool ProofCombinations::Choose(const ProofTreeState& tree, uint32_t proof[64], uint64_t& f7) {
  for (uint32_t leaf = 0; leaf < kProofLeafCount; ++leaf) {
    counts_[leaf] = static_cast<uint32_t>(
        std::min<uint64_t>(tree.data.candidateCounts[leaf], kLeafCandidates));
    for (uint32_t i = 0; i < counts_[leaf]; ++i) {
      options_[leaf][i] = Option{
          LeafEntry(tree.data.candidates[leaf][i], tree.data.candidateData[leaf][i],
                    tree.scaleGroups),
          static_cast<uint8_t>(i), 0, 0};
    }
  }
  for (uint32_t node = kProofLeafCount; node < kProofNodeCount; ++node) {
    const uint32_t a = ProofTree::FirstChild(node), b = ProofTree::SecondChild(node);
    const int table = static_cast<int>(ProofTree::NodeTable(a)) + 3;
    // The second child's option varies slower, as the higher leaves do in the count.
    uint32_t& count = counts_[node];
    count = 0;
    for (uint32_t j = 0; j < counts_[b]; ++j) {
      for (uint32_t i = 0; i < counts_[a] && count < kMaxOptions; ++i) {
        Option& o = options_[node][count];
        const int order = ValidateNodePair(table, options_[a][i].entry, options_[b][j].entry,
                                           o.entry, tree.scaleGroups);
        if (order == 0) continue;
        o.first = static_cast<uint8_t>(i);
        o.second = static_cast<uint8_t>(j);
        o.order = static_cast<uint8_t>(order);
        ++count;
        if (node == kProofRoot) break;
      }
      if (node == kProofRoot && count != 0) break;
    }
    if (count == 0) return false;
  }
  f7 = options_[kProofRoot][0].entry.y;
  uint32_t* out = proof;
  Emit(kProofRoot, 0, out);
  return true;
}

void ProofCombinations::Emit(uint32_t node, uint32_t option, uint32_t*& out) const {
  const Option& o = options_[node][option];
  if (node < kProofLeafCount) {
    std::memcpy(out, o.entry.meta, 16);  // four big-endian x values
    out += 4;
    return;
  }
  const uint32_t a = ProofTree::FirstChild(node), b = ProofTree::SecondChild(node);
  if (o.order == 1) {
    Emit(a, o.first, out);
    Emit(b, o.second, out);
  } else {
    Emit(b, o.second, out);
    Emit(a, o.first, out);
  }
}
