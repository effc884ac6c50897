// The test deployment: linked only into test programs, never installed (its secrets are in
// test_deployment_secrets.h). Fake servers listen on 127.0.0.N and are found through an address
// file, so the host names here stay unresolvable.
#include "chia/deployment.h"
#include "chia/deployment_hex.h"

const Deployment& ActiveDeployment() {
  static const Deployment kRecord = {
      .poolPublicKey = DeploymentHex<48>(
          "99bd108a2af4fc75876050549db6bf81e54a8bd1075e1bcfdc09f1faff7d3f0953dd4667397d3a9a4542d1"
          "8421e81b85"),
      .ServerKey =
          DeploymentHex<32>("d04ab232742bb4ab3a1368bd4615e4e6d0224ab71a016baf8520a332c9778737"),
      .UpdateKey =
          DeploymentHex<32>("a09aa5f47a6759802ff955f8dc2d2a14a5c99d23be97f864127ff9383455a4f0"),
      .poolHosts = {"pool.test.invalid"},
      .resolverAddress = "192.0.2.53",
      .ntpHost = "ntp.test.invalid",
      .dhtRouters = {"dht.test.invalid:6881"},
      .selfTestPlotKeys = {
          .publicKeyB = DeploymentHex<48>(
              "b66bedd16d85c88ea94dce4f130dd5d04537ef8b08d931bec95828877faa98bfa4f5fa81ca0bf0e7"
              "b9d9fd874cd525b7"),
          .plotId =
              DeploymentHex<32>("7ec49a7e8b77238d9a76c7a6293d655df5a30cde94fee61684087aeb8e9a053d"),
          .delegatedPublicKeyB = DeploymentHex<48>(
              "a7b05d6bea0ce66172edd5743e67689ba563da214605c83dc7c21fcad93ac2e547af621df6441fb6"
              "5106658a5553010b"),
          .delegatedPlotId =
              DeploymentHex<32>("dd6492c41642f8ecdb6b5dc4e283bc8e0534941c9178c811201785c793ac926f"),
      }};
  return kRecord;
}
