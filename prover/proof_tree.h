#pragma once

#include <cstdint>

#include "chia/proof_validation.h"

// The tree of one proof over the plot's stored tables: nodes 0-15 are leaves (table 0, whose
// values select the x prefixes to recompute), 16-23, 24-27 and 28-29 the inner levels (tables
// 1-3, line points of their children's positions), 30 the root (table 4). The children of node
// v >= 16 are 2v - 32 (first) and 2v - 31 (second).
inline constexpr uint32_t kProofNodeCount = 31;
inline constexpr uint32_t kProofLeafCount = 16;
inline constexpr uint32_t kProofRoot = 30;
inline constexpr uint32_t kLeafCandidates = 8;

struct ProofNode {
  uint64_t position = 0;  // index in the node's stored table
  uint8_t queuedForRead = 0;
  uint8_t valueKnown = 0;
  uint8_t decoded = 0;             // inner node: the children's positions are known
  uint8_t queuedForRecompute = 0;  // leaf
  uint8_t resolved = 0;            // inner node: order known; leaf: candidates known
  uint8_t orderBit = 0;            // 1: the first child comes first in the canonical order
};

// What reading and recomputation found; a full proof takes it over whole from its quality job.
struct ProofTreeData {
  uint64_t values[kProofNodeCount];  // all ones until read
  uint8_t candidates[kProofLeafCount][kLeafCandidates][16];
  uint64_t candidateData[kProofLeafCount][kLeafCandidates];
  uint64_t candidateCounts[kProofLeafCount];
};
static_assert(sizeof(ProofTreeData) == 431 * 8);

// Everything a proof job knows of its tree; guarded by the engine mutex.
struct ProofTreeState {
  ProofTreeState();

  ProofNode nodes[kProofNodeCount];
  uint8_t readList[kProofNodeCount] = {};
  uint8_t readCount = 0;
  uint8_t recomputeList[kProofLeafCount] = {};
  uint8_t recomputeCount = 0;
  uint8_t fallback = 0;  // the quality's pair order cannot be decided without the full proof
  uint64_t scaleGroups = kGroupsPerBucket;  // the engine's plot scale, for matching outputs
  ProofTreeData data;
};

namespace ProofTree {

// Waiting: a read or recomputation was queued (or is still running); Fallback: the order of a
// node cannot be decided, and the fallback byte is set.
enum class Status { kReady, kWaiting, kFallback };

uint32_t NodeTable(uint32_t node);  // "FB51D887" outside 0..30
uint32_t NodeLevel(uint32_t node);  // of an inner node: 0 (16-23) .. 3 (root)
uint32_t FirstChild(uint32_t node);
uint32_t SecondChild(uint32_t node);

// A line point's two positions, first > second.
void DecodeLinePoint(uint64_t value, uint64_t& first, uint64_t& second);
// A leaf value's four x prefixes at compression level `level`; a prefix of 2^(16 - level) or
// more would name x values beyond 32 bits and is refused as an invalid plot.
void DecodeLeafPrefixes(uint64_t value, uint8_t level, uint32_t prefixes[4]);

// A leaf's state: true when resolved; else queues what it needs first (recompute or read).
bool MarkNode(ProofTreeState& tree, uint32_t leaf);
// The range of the leaves' candidates' largest x values.
Status ResolveNode(ProofTreeState& tree, uint32_t leaf, uint32_t& lowest, uint32_t& highest);
// Keeps the candidates of `leaf` that match a candidate of its sibling leaf.
Status ExpandNode(ProofTreeState& tree, uint32_t leaf, bool& changed);
// Decides the order bit of an inner node from its children's largest x values.
Status ResolveOrder(ProofTreeState& tree, uint32_t node);
// The quality job's walk from `current` to the leaf that challenge byte 31 selects; when Ready,
// `xPair` holds the chosen pair's 8 bytes (smaller x, then larger x, each big-endian).
Status WalkToPair(ProofTreeState& tree, uint32_t& current, uint8_t challengeByte31,
                  uint64_t& xPair);
// The full proof's descent: true when every inner node is decoded and every leaf resolved;
// otherwise queues what is missing.
bool DecodeNode(ProofTreeState& tree, uint32_t node);

}  // namespace ProofTree

// The choice among the resolved leaves' candidates of the combination that forms a proof: level
// by level, each node keeps only the sibling combinations that match, in the order a mixed-radix
// count over the leaves (leaf 0 fastest) would meet them, so the first full match is the first
// combination of that count.
class ProofCombinations {
 public:
  static constexpr uint32_t kMaxOptions = 64;  // kept per inner node; later ones are dropped

  // True when a combination passes up to the table-6 pair: then `proof` holds its 64 x values
  // in matching order (each stored big-endian) and `f7` the root's output.
  bool Choose(const ProofTreeState& tree, uint32_t proof[64], uint64_t& f7);

 private:
  struct Option {
    ProofEntry entry;
    uint8_t first;   // option index of the first child (the candidate index at a leaf)
    uint8_t second;  // of the second child
    uint8_t order;   // 1 the first child's entry leads in matching order, 2 the second's
  };
  void Emit(uint32_t node, uint32_t option, uint32_t*& out) const;

  Option options_[kProofNodeCount][kMaxOptions];
  uint32_t counts_[kProofNodeCount] = {};
};
