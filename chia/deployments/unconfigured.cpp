// The unconfigured deployment: what a build gets unless its configuration names another record.
// Nobody holds a secret of these keys, so nobody can speak for this pool or sign an update for
// it, and every host name lies under the reserved ".invalid" domain, so the program never finds a
// server and sends nothing anywhere.
#include "chia/deployment.h"
#include "chia/deployment_hex.h"

const Deployment& ActiveDeployment() {
  static const Deployment kRecord = {
      // For counter c = 0, 1, ... let x be SHA-256("VarnokChiaPool fixed G1 element for plot
      // keys" || c as 4 big-endian bytes) read as a big-endian integer; the first x for which
      // x^3 + 4 is a square gives the point (x, y), y the root that is not lexicographically
      // larger; the key is that point times the effective cofactor 0xd201000000010001.
      .poolPublicKey = DeploymentHex<48>(
          "8724ffc2c69ad5dfb719263119b6af4429eb58bc1e34998da9ea78c76adba23db13342a291519a1ba75828b4"
          "933d3f78"),
      // The first SHA-256(label || c as 4 big-endian bytes), c = 0, 1, ..., that decodes as a
      // point of more than small order; labels "VarnokChiaPool unconfigured server key" and
      // "VarnokChiaPool unconfigured update key".
      .ServerKey =
          DeploymentHex<32>("ca3a9cb245e12ad3862369f02d3b1a6d8e2c860c8fb0999f78a53f763e060ed6"),
      .UpdateKey =
          DeploymentHex<32>("18666128f74d6db4a9c10449bed90a99a84ef79a1dc53726df0d8fea3292fb0b"),
      .poolHosts = {"pool.unconfigured.invalid"},
      // A documentation address (TEST-NET-1): no resolver answers with it.
      .resolverAddress = "192.0.2.1",
      .ntpHost = "ntp.unconfigured.invalid",
      .dhtRouters = {"dht1.unconfigured.invalid:25401", "dht2.unconfigured.invalid:6881"},
      .selfTestPlotKeys = {
          .publicKeyB = DeploymentHex<48>(
              "874c3c84e1dfc9fe3f38a1dd59f5758647fb1506499e1845431b2fe979f21630236b734511c14fb2"
              "c3bd667116609294"),
          .plotId =
              DeploymentHex<32>("0a09672476c9e948d42ed51177ef5bb95c1121f7db0c8e546b624d6c3f67e8cd"),
          .delegatedPublicKeyB = DeploymentHex<48>(
              "afa3d5aa77d0af39a62e989b5ac4e48eb560f1d3abeff5421d8c21a4d2950b579aa3faf941fb351f"
              "6dde40f90f9aa00d"),
          .delegatedPlotId =
              DeploymentHex<32>("7589912e788fa68042106ac5de830545972fe3f0e246109d9e680d5cc7fb3231"),
      }};
  return kRecord;
}
