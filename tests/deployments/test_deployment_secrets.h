#pragma once
// The secrets of the test deployment. They are published here, so a record with these keys must
// never be installed: whoever reads this file could sign updates and speak for the pool.

#include <array>
#include <cstdint>

#include "chia/deployment_hex.h"

namespace test_deployment {

// BLS secret of the pool key.
inline constexpr std::array<uint8_t, 32> kPoolSecret =
    DeploymentHex<32>("0c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00c0ffee0");
// Ed25519 seeds (RFC 8032 private keys) of the server key and the update key.
inline constexpr std::array<uint8_t, 32> kServerSeed =
    DeploymentHex<32>("1111111111111111111111111111111111111111111111111111111111111111");
inline constexpr std::array<uint8_t, 32> kUpdateSeed =
    DeploymentHex<32>("2222222222222222222222222222222222222222222222222222222222222222");

}  // namespace test_deployment
