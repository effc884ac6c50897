#pragma once
// The augmented signature scheme (message prefixed by the signer's public key).

#include "chia/bls/core_mpl.h"

namespace bls {

class AugSchemeMPL : public CoreMPL {};

}  // namespace bls
