// Independent Ed25519 answers for the deployment keys. Usage:
//   node deployment_oracle.mjs check <32-byte hex> ...  -> per key "ok", "small" or "bad"
//   node deployment_oracle.mjs sleeve <label> ...       -> the first SHA-256(label || counter as
//        4 big-endian bytes) that decodes as a point of more than small order: a public key
//        whose secret nobody knows
//   node deployment_oracle.mjs public <seed hex> ...    -> the public key of a 32-byte seed
import { ed25519 } from '@noble/curves/ed25519.js';
import { sha256 } from '@noble/hashes/sha2.js';
import { bytesToHex, hexToBytes, utf8ToBytes, concatBytes } from '@noble/hashes/utils.js';

const Point = ed25519.Point;

function classify(bytes) {
  let p;
  try {
    p = Point.fromBytes(bytes, false);
  } catch (e) {
    return 'bad';
  }
  return p.isSmallOrder() ? 'small' : 'ok';
}

function sleeve(label) {
  for (let c = 0; ; c++) {
    const ctr = new Uint8Array(4);
    new DataView(ctr.buffer).setUint32(0, c, false);
    const candidate = sha256(concatBytes(utf8ToBytes(label), ctr));
    if (classify(candidate) === 'ok') return candidate;
  }
}

const [mode, ...args] = process.argv.slice(2);
const lines = [];
if (mode === 'check') {
  for (const arg of args) lines.push(classify(hexToBytes(arg)));
} else if (mode === 'sleeve') {
  for (const arg of args) lines.push(bytesToHex(sleeve(arg)));
} else if (mode === 'public') {
  for (const arg of args) lines.push(bytesToHex(ed25519.getPublicKey(hexToBytes(arg))));
} else {
  throw new Error('unknown mode ' + mode);
}
process.stdout.write(lines.join('\n') + '\n');
