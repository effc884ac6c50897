// Answers BLS12-381 signature requests with the independent JavaScript implementation: one
// output line per argument, each argument a request with colon-separated fields.
//   hash:<dst>:<msg>               -> compressed G2 hash of msg
//   sign:<dst>:<sk>:<msg>          -> compressed G2 signature sk x H(msg)
//   verify:<dst>:<pk>:<msg>:<sig>  -> 1 or 0
//   pairing:<a>:<b>                -> e(a g1, b g2) as its twelve Fp coefficients, comma
//                                     separated (c0.c0.c0, c0.c0.c1, c0.c1.c0, ..., c1.c2.c1)
// Fields are hex; "-" stands for an empty byte string.
import { bls12_381 } from '@noble/curves/bls12-381.js';

const bls = bls12_381.longSignatures;

const bytes = (hex) => (hex === '-' ? new Uint8Array(0) : Uint8Array.from(Buffer.from(hex, 'hex')));
const hex = (b) => Buffer.from(b).toString('hex');

const out = [];
for (const request of process.argv.slice(2)) {
  const [op, ...args] = request.split(':');
  if (op === 'hash') {
    out.push(hex(bls.hash(bytes(args[1]), bytes(args[0])).toBytes()));
  } else if (op === 'sign') {
    const point = bls.hash(bytes(args[2]), bytes(args[0]));
    out.push(hex(bls.Signature.toBytes(bls.sign(point, bytes(args[1])))));
  } else if (op === 'pairing') {
    const { G1, G2 } = bls12_381;
    const e = bls12_381.pairing(G1.Point.BASE.multiply(BigInt('0x' + args[0])),
                                G2.Point.BASE.multiply(BigInt('0x' + args[1])));
    const coefficients = [];
    for (const half of [e.c0, e.c1]) {
      for (const pair of [half.c0, half.c1, half.c2]) coefficients.push(pair.c0, pair.c1);
    }
    out.push(coefficients.map((v) => v.toString(16).padStart(96, '0')).join(','));
  } else if (op === 'verify') {
    let ok;
    try {
      const point = bls.hash(bytes(args[2]), bytes(args[0]));
      ok = bls.verify(bls.Signature.fromBytes(bytes(args[3])), point, bytes(args[1]));
    } catch {
      ok = false;
    }
    out.push(ok ? '1' : '0');
  } else {
    throw new Error(`unknown request ${op}`);
  }
}
process.stdout.write(out.join('\n') + '\n');
