#include "chia/bls/bls_init.h"

#include "chia/bls/g1.h"

namespace bls {

bool BLS::Init() {
  PrecomputeG1Tables();
  return true;
}

}  // namespace bls
