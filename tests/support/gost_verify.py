#!/usr/bin/env python3
"""Checks a raw GOST R 34.10 signature of a 32-byte digest against a certificate
with nothing but the curve arithmetic: no OpenSSL and no gost engine. It pins the
layout that the bridge hands back from the token: the signature is s then r, each
32 bytes big-endian, and the digest is read as a little-endian number.

    gost_verify.py CERT.der DIGEST.bin SIGNATURE.bin

Exit status 0 when the signature is valid, 1 when it is not, 2 for unusable input
(a key of another kind or curve, a malformed certificate, wrong lengths)."""
import sys

# Parameter set A of GOST R 34.10-2001 (RFC 4357), under the names a key may carry.
CURVE_A = dict(
    p=0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97,
    a=0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD94,
    b=0xA6,
    q=0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF6C611070995AD10045841B09B761B893,
    x=1,
    y=0x8D91E471E0989CDA27DF505A453F2B7635294F2DDF23E3B122ACC99C9E9F1E14,
)
CURVES = {
    "1.2.643.2.2.35.1": CURVE_A,      # id-GostR3410-2001-CryptoPro-A-ParamSet
    "1.2.643.2.2.36.0": CURVE_A,      # id-GostR3410-2001-CryptoPro-XchA-ParamSet
    "1.2.643.7.1.2.1.1.2": CURVE_A,   # id-tc26-gost-3410-2012-256-paramSetB
}
KEY_ALGORITHMS = {"1.2.643.2.2.19", "1.2.643.7.1.1.1.1"}  # GOST R 34.10-2001, -2012 256-bit


class Unusable(Exception):
    pass


def der_items(data):
    """The (tag, contents) pairs of a run of DER elements."""
    items, pos = [], 0
    while pos < len(data):
        if pos + 2 > len(data):
            raise Unusable("truncated DER")
        tag, length = data[pos], data[pos + 1]
        pos += 2
        if length & 0x80:
            count = length & 0x7F
            if count == 0 or count > 4 or pos + count > len(data):
                raise Unusable("bad DER length")
            length = int.from_bytes(data[pos:pos + count], "big")
            pos += count
        if pos + length > len(data):
            raise Unusable("DER element runs past its end")
        items.append((tag, data[pos:pos + length]))
        pos += length
    return items


def oid_text(contents):
    first, arcs, value = contents[0], [], 0
    arcs += [min(first // 40, 2), first - 40 * min(first // 40, 2)]
    for byte in contents[1:]:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    return ".".join(map(str, arcs))


def public_key(cert):
    """The curve and the public point (x, y) of a GOST certificate."""
    (tag, certificate), = der_items(cert)
    tbs = der_items(der_items(certificate)[0][1])
    if tbs[0][0] == 0xA0:  # explicit version
        tbs = tbs[1:]
    algorithm, bits = der_items(tbs[5][1])
    algorithm = der_items(algorithm[1])
    if oid_text(algorithm[0][1]) not in KEY_ALGORITHMS:
        raise Unusable("not a 256-bit GOST R 34.10 key: " + oid_text(algorithm[0][1]))
    paramset = oid_text(der_items(algorithm[1][1])[0][1])
    if paramset not in CURVES:
        raise Unusable("unknown parameter set " + paramset)
    # BIT STRING (no unused bits) holding an OCTET STRING of x then y, little-endian.
    (tag, point), = der_items(bits[1][1:])
    if tag != 0x04 or len(point) != 64:
        raise Unusable("public key is not a 64-byte point")
    return CURVES[paramset], (int.from_bytes(point[:32], "little"), int.from_bytes(point[32:], "little"))


def add(c, P, Q):
    if P is None:
        return Q
    if Q is None:
        return P
    p = c["p"]
    if P[0] == Q[0] and (P[1] + Q[1]) % p == 0:
        return None
    if P == Q:
        slope = (3 * P[0] * P[0] + c["a"]) * pow(2 * P[1], -1, p) % p
    else:
        slope = (Q[1] - P[1]) * pow(Q[0] - P[0], -1, p) % p
    x = (slope * slope - P[0] - Q[0]) % p
    return x, (slope * (P[0] - x) - P[1]) % p


def multiply(c, k, P):
    result = None
    while k:
        if k & 1:
            result = add(c, result, P)
        P = add(c, P, P)
        k >>= 1
    return result


def valid(c, Q, digest, signature):
    q = c["q"]
    s = int.from_bytes(signature[:32], "big")
    r = int.from_bytes(signature[32:], "big")
    if not (0 < r < q and 0 < s < q):
        return False
    e = int.from_bytes(digest, "little") % q or 1
    v = pow(e, -1, q)
    C = add(c, multiply(c, s * v % q, (c["x"], c["y"])), multiply(c, (q - r) * v % q, Q))
    return C is not None and C[0] % q == r


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        cert, digest, signature = (open(name, "rb").read() for name in argv[1:])
        if len(digest) != 32 or len(signature) != 64:
            raise Unusable("need a 32-byte digest and a 64-byte signature")
        curve, Q = public_key(cert)
        if (Q[1] ** 2 - Q[0] ** 3 - curve["a"] * Q[0] - curve["b"]) % curve["p"]:
            raise Unusable("the certificate's public key is not on the curve")
    except (OSError, Unusable, IndexError, ValueError) as problem:
        print("gost_verify: %s" % problem, file=sys.stderr)
        return 2
    return 0 if valid(curve, Q, digest, signature) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
