// Independent BLS12-381 answers for the differential tests. Usage:
//   node bls_oracle.mjs keys <seedhex>:<index> ...   -> per pair one line of hex fields
//   node bls_oracle.mjs decode <48-byte hex> ...     -> per input "ok <hex>" or "bad"
//   node bls_oracle.mjs fixed                        -> the fixed element F of the plot keys
//   node bls_oracle.mjs plotkeys <seedhex>[:<delegation key hex>] ...
//                                                    -> plot id, secret A, secret B, public key B
//   node bls_oracle.mjs password <text hex> ...      -> secret, public key
//   node bls_oracle.mjs xch <32-byte hex> ...        -> the bech32m "xch" address
//   node bls_oracle.mjs selftest [<pool key hex>]    -> the self-test's plot-key answers under
//                                                       that pool key (default F): public key B,
//                                                       plot id, then both again delegated to the
//                                                       public key of secret A
//   node bls_oracle.mjs public <secret hex> ...      -> the public key of a secret key
import { bls12_381 } from '@noble/curves/bls12-381.js';
import { hkdf } from '@noble/hashes/hkdf.js';
import { sha256 } from '@noble/hashes/sha2.js';
import { bytesToHex, hexToBytes, utf8ToBytes, concatBytes } from '@noble/hashes/utils.js';

const Point = bls12_381.G1.Point;
const r = bls12_381.fields.Fr.ORDER;

const toBig = (b) => BigInt('0x' + (bytesToHex(b) || '0'));
const to32 = (n) => hexToBytes(n.toString(16).padStart(64, '0'));

// Key generation with the unhashed salt and a single pass.
function keyGen(seed) {
  const okm = hkdf(sha256, concatBytes(seed, Uint8Array.of(0)), utf8ToBytes('BLS-SIG-KEYGEN-SALT-'),
                   Uint8Array.of(0, 48), 48);
  return toBig(okm) % r;
}

function lamportHashes(ikm, salt) {
  const okm = hkdf(sha256, ikm, salt, new Uint8Array(0), 255 * 32);
  const out = [];
  for (let i = 0; i < 255; i++) out.push(sha256(okm.subarray(i * 32, i * 32 + 32)));
  return out;
}

function deriveChild(sk, index) {
  const salt = new Uint8Array(4);
  new DataView(salt.buffer).setUint32(0, index, false);
  const ikm = to32(sk);
  const notIkm = ikm.map((b) => b ^ 0xff);
  const pk = concatBytes(...lamportHashes(ikm, salt), ...lamportHashes(notIkm, salt));
  return keyGen(sha256(pk));
}

// F: the first x = SHA-256(text || counter) with x^3 + 4 a square, the smaller root, times the
// effective cofactor.
function fixedElement() {
  const Fp = bls12_381.fields.Fp;
  const text = utf8ToBytes('VarnokChiaPool fixed G1 element for plot keys');
  for (let c = 0; ; c++) {
    const ctr = new Uint8Array(4);
    new DataView(ctr.buffer).setUint32(0, c, false);
    const x = toBig(sha256(concatBytes(text, ctr)));
    const rhs = Fp.add(Fp.mul(Fp.sqr(x), x), 4n);
    let y;
    try { y = Fp.sqrt(rhs); } catch (e) { continue; }
    if (y === undefined || Fp.sqr(y) !== rhs) continue;
    if (y > (Fp.ORDER - 1n) / 2n) y = Fp.neg(y);
    const f = Point.fromAffine({ x, y }).clearCofactor();
    if (!f.equals(Point.ZERO)) return f;
  }
}

function plotKeys(seed, delegation, F = fixedElement()) {
  let master = keyGen(seed);
  let a = deriveChild(master, 0);
  while ((a & 1n) === 0n) {
    master = keyGen(to32(a));
    a = deriveChild(master, 0);
  }
  const b = deriveChild(master, 1);
  let pa = pub(a).add(F), pb = pub(b).add(F);
  if (delegation) {
    const d = Point.fromHex(delegation);
    pa = pa.add(d);
    pb = pb.add(d);
  }
  const id = sha256(concatBytes(pb.toBytes(true), pa.toBytes(true)));
  return [id, to32(a), to32(b), pb.toBytes(true)];
}

// Bech32m text of a puzzle hash (BIP-173 checksum with the BIP-350 constant).
function xchAddress(hash) {
  const charset = 'qpzry9x8gf2tvdw0s3jn54khce6mua7l';
  const gen = [0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3];
  const polymod = (values) => {
    let chk = 1;
    for (const v of values) {
      const top = chk >>> 25;
      chk = ((chk & 0x1ffffff) << 5) ^ v;
      for (let i = 0; i < 5; i++) if ((top >>> i) & 1) chk ^= gen[i];
    }
    return chk >>> 0;
  };
  const groups = [];
  let acc = 0, bits = 0;
  for (const b of hash) {
    acc = ((acc << 8) | b) & 0xfff;
    bits += 8;
    while (bits >= 5) { bits -= 5; groups.push((acc >>> bits) & 31); }
  }
  if (bits > 0) groups.push((acc << (5 - bits)) & 31);
  const hrp = 'xch';
  const expanded = [...hrp].map((c) => c.charCodeAt(0) >> 5).concat([0], [...hrp].map((c) => c.charCodeAt(0) & 31));
  const c = (polymod(expanded.concat(groups, [0, 0, 0, 0, 0, 0])) ^ 0x2bc830a3) >>> 0;
  const check = [0, 1, 2, 3, 4, 5].map((i) => (c >>> (5 * (5 - i))) & 31);
  return hrp + '1' + groups.concat(check).map((v) => charset[v]).join('');
}

const pub = (sk) => (sk === 0n ? Point.ZERO : Point.BASE.multiply(sk));
const [mode, ...args] = process.argv.slice(2);
const lines = [];
if (mode === 'keys') {
  for (const arg of args) {
    const [seedHex, indexText] = arg.split(':');
    const master = keyGen(hexToBytes(seedHex));
    const child = deriveChild(master, Number(indexText));
    const pm = pub(master), pc = pub(child);
    const agg = (master + child) % r;
    lines.push([to32(master), to32(child), pm.toBytes(true), pc.toBytes(true),
                pm.add(pc).toBytes(true), to32(agg), pub(agg).toBytes(true)].map(bytesToHex).join(' '));
  }
} else if (mode === 'decode') {
  for (const hex of args) {
    try {
      const p = Point.fromHex(hex);
      p.assertValidity();
      lines.push('ok ' + bytesToHex(p.toBytes(true)));
    } catch (e) {
      lines.push('bad');
    }
  }
} else if (mode === 'fixed') {
  lines.push(bytesToHex(fixedElement().toBytes(true)));
} else if (mode === 'plotkeys') {
  for (const arg of args) {
    const [seedHex, delegation] = arg.split(':');
    lines.push(plotKeys(hexToBytes(seedHex), delegation).map(bytesToHex).join(' '));
  }
} else if (mode === 'password') {
  const salt = hexToBytes('3a5c7e9b1d2f4a6c8e0b2d4f6a8c0e1b');
  for (const arg of args) {
    const seed = sha256(concatBytes(salt, hexToBytes(arg), Uint8Array.of(0)));
    const k = deriveChild(keyGen(seed), 0);
    lines.push(bytesToHex(to32(k)) + ' ' + bytesToHex(pub(k).toBytes(true)));
  }
} else if (mode === 'xch') {
  for (const arg of args) lines.push(xchAddress(hexToBytes(arg)));
} else if (mode === 'selftest') {
  const F = args.length > 0 ? Point.fromHex(args[0]) : fixedElement();
  const seed = new Uint8Array(32);
  const [id, a, , pkb] = plotKeys(seed, undefined, F);
  const own = bytesToHex(pub(toBig(a)).toBytes(true));
  const [did, , , dpkb] = plotKeys(seed, own, F);
  lines.push([pkb, id, dpkb, did].map(bytesToHex).join(' '));
} else if (mode === 'public') {
  for (const arg of args) lines.push(bytesToHex(pub(toBig(hexToBytes(arg))).toBytes(true)));
} else {
  throw new Error('unknown mode ' + mode);
}
process.stdout.write(lines.join('\n') + '\n');
