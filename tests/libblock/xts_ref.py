#!/usr/bin/env python3
"""Reference XTS-AES-256 for the cipher tests, built by hand on AES-ECB of
the 'cryptography' package: one 32-byte key as both data key and tweak key,
512-byte data units numbered from byte 0, no ciphertext stealing.
Imported for xts(), or run as: xts_ref.py <job file>, one job a line:
       enc|dec <key hex or "-" for none> <byte offset> <input file> <output file>
(one run for many jobs: the package's import is the slow part)"""
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def xor(a, b):
    return (int.from_bytes(a, "little") ^ int.from_bytes(b, "little")).to_bytes(len(a), "little")


def xts(mode, key_hex, offset, data):
    key = bytes.fromhex(key_hex.replace("-", ""))[:32].ljust(32, b"\0")
    ecb = Cipher(algorithms.AES(key), modes.ECB())
    blocks = len(data) // 16
    units = (blocks + 31) // 32
    first = offset // 512
    enc = ecb.encryptor()
    tweaks0 = enc.update(b"".join((first + u).to_bytes(16, "little") for u in range(units)))
    tweaks = []
    for u in range(units):
        t = int.from_bytes(tweaks0[16 * u:16 * u + 16], "little")
        for _ in range(32):
            tweaks.append(t.to_bytes(16, "little"))
            t <<= 1
            if t >> 128:
                t = (t & ((1 << 128) - 1)) ^ 0x87
    mask = b"".join(tweaks[:blocks])
    body = xor(data[:16 * blocks], mask)
    op = ecb.encryptor() if mode == "enc" else ecb.decryptor()
    body = op.update(body) + op.finalize()
    return xor(body, mask) + data[16 * blocks:]


def main():
    with open(sys.argv[1]) as jobs:
        for line in jobs:
            mode, key_hex, offset, src, dst = line.split()
            with open(src, "rb") as f:
                data = f.read()
            with open(dst, "wb") as f:
                f.write(xts(mode, key_hex, int(offset), data))


if __name__ == "__main__":
    main()
