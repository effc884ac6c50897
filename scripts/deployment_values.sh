#!/bin/sh
# Prints the values of a deployment record that follow from its keys, computed by the independent
# JavaScript implementation in tests/js (run "npm ci" there first):
#   scripts/deployment_values.sh selftest <pool key hex>   the self-test's plot-key answers:
#       public key B, plot id, delegated public key B, delegated plot id
#   scripts/deployment_values.sh check <ed25519 key hex>   "ok", "small" (small order) or "bad"
#   scripts/deployment_values.sh sleeve <label>            an Ed25519 key nobody holds
set -eu
js="$(dirname "$0")/../tests/js"
mode="$1"
shift
case "$mode" in
  selftest) node "$js/bls_oracle.mjs" selftest "$@" | tr ' ' '\n' ;;
  check | sleeve) node "$js/deployment_oracle.mjs" "$mode" "$@" ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
