// Answers BLS12-381 requests with the independent JavaScript implementation, one line per
// request line on standard input. Argument: the node_modules folder holding @noble/curves.
//   pk <sk>                     -> compressed G1 public key
//   hash <dst> <msg>            -> compressed G2 hash of msg
//   sign <dst> <sk> <msg>       -> compressed G2 signature sk x H(msg)
//   verify <dst> <pk> <msg> <sig> -> 1 or 0
// All arguments are hex; "-" stands for an empty byte string.
import { readFileSync } from 'node:fs';
import { pathToFileURL } from 'node:url';

const modules = process.argv[2];
const { bls12_381 } = await import(
  pathToFileURL(`${modules}/@noble/curves/bls12-381.js`).href);
const bls = bls12_381.longSignatures;

const bytes = (hex) => (hex === '-' ? new Uint8Array(0) : Uint8Array.from(Buffer.from(hex, 'hex')));
const hex = (b) => Buffer.from(b).toString('hex');

const out = [];
for (const line of readFileSync(0, 'utf8').split('\n')) {
  const [op, ...args] = line.trim().split(/\s+/);
  if (!op) continue;
  if (op === 'pk') {
    out.push(hex(bls.getPublicKey(bytes(args[0])).toBytes()));
  } else if (op === 'hash') {
    out.push(hex(bls.hash(bytes(args[1]), bytes(args[0])).toBytes()));
  } else if (op === 'sign') {
    const point = bls.hash(bytes(args[2]), bytes(args[0]));
    out.push(hex(bls.Signature.toBytes(bls.sign(point, bytes(args[1])))));
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
