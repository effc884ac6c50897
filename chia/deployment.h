#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The values that whoever runs the pool chooses: its keys and where it is found. Exactly one
// record is linked into a program; a build picks it when it is configured.
struct Deployment {
  // The pool's G1 key: certifies the server's session keys and is added into every plot key.
  std::array<uint8_t, 48> poolPublicKey{};
  // Ed25519 keys of the pool server's messages and of the signed update block.
  std::array<uint8_t, 32> ServerKey{};
  std::array<uint8_t, 32> UpdateKey{};
  // Host names tried when the settings folder names no server.
  std::vector<std::string> poolHosts;
  // The address a resolver answers for names it does not know; never taken as a server.
  std::string resolverAddress;
  std::string ntpHost;
  // "host:port" entries for the update download's DHT.
  std::vector<std::string> dhtRouters;
  // The self-test's plot keys from the zero seed, which change with poolPublicKey: public key B
  // and plot id, then both again with the public key of secret A as delegation key. Printed for
  // a pool key by scripts/deployment_values.sh.
  struct PlotKeyAnswers {
    std::array<uint8_t, 48> publicKeyB{};
    std::array<uint8_t, 32> plotId{};
    std::array<uint8_t, 48> delegatedPublicKeyB{};
    std::array<uint8_t, 32> delegatedPlotId{};
  };
  PlotKeyAnswers selfTestPlotKeys;
};

// The record linked into this program: the one the VARNOK_DEPLOYMENT source file defines.
const Deployment& ActiveDeployment();

// Refuses keys that would make the program unsafe to run: the pool key must be a G1 point in the
// subgroup other than the identity, the Ed25519 keys canonical points of more than small order.
// Throws std::runtime_error "Invalid deployment: ..." naming the key.
void CheckDeployment(const Deployment& deployment);
