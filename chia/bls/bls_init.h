#pragma once

namespace bls {

class BLS {
 public:
  // Builds the precomputed tables now rather than on first use; always returns true.
  static bool Init();
};

}  // namespace bls
