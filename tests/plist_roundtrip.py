#!/usr/bin/python3
"""Checks our property-list codec against Python's plistlib.

  plist_roundtrip.py roundtrip REWRITE_TOOL WORKDIR COUNT SEED
      Writes COUNT random property lists with plistlib, binary and XML in turn, has
      REWRITE_TOOL read each one and write it back in binary, reads the results with plistlib
      and compares them with what plistlib reads from the originals: same types, same values
      (NaN equal to NaN, signed zeros told apart), same dictionary order. Prints
      "compared N, mismatches M" and exits non-zero on any mismatch.
  plist_roundtrip.py convert IN OUT
      Reads IN with plistlib and writes what it read to OUT, in binary.
"""

import datetime
import math
import os
import plistlib
import random
import struct
import subprocess
import sys

EPOCH = datetime.datetime(2001, 1, 1)
MAX_DEPTH = 5

ASCII_PIECES = ["a", "Z", "0", " ", "key", "\t", "\n", "<", "&", "]]>", "com.orvo.game"]
WIDE_PIECES = ["\u00e9", "\u00fc", "\u4e2d", "\U0001F600", "\U0010FFFF", "\ufffd", "\u0800"]


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def random_string(rng, xml):
    pieces = ASCII_PIECES + (WIDE_PIECES if rng.random() < 0.5 else [])
    if not xml:
        pieces = pieces + ["\0", "\x01", "\r"]
    length = rng.choice([0, 1, 3, 14, 15, 16, 40, 300])
    return "".join(rng.choice(pieces) for _ in range(length))


def random_int(rng):
    edges = [0, 1, -1, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63,
             2**64 - 1, -2**63, -2**31]
    if rng.random() < 0.5:
        return rng.choice(edges)
    return rng.randrange(-2**63, 2**64)


def random_float(rng):
    specials = [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1.7976931348623157e308, 0.1]
    choice = rng.random()
    if choice < 0.3:
        return rng.choice(specials)
    if choice < 0.6:
        return struct.unpack(">d", rng.getrandbits(64).to_bytes(8, "big"))[0]
    return rng.uniform(-1e9, 1e9)


def random_scalar(rng, xml):
    kinds = ["str", "int", "float", "bool", "bytes", "date"] + ([] if xml else ["uid"])
    kind = rng.choice(kinds)
    if kind == "str":
        return random_string(rng, xml)
    if kind == "int":
        return random_int(rng)
    if kind == "float":
        return random_float(rng)
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "bytes":
        return rng.randbytes(rng.choice([0, 1, 14, 15, 16, 100, 300]))
    if kind == "date":
        return EPOCH + datetime.timedelta(microseconds=rng.randrange(-3 * 10**15, 3 * 10**15))
    return plistlib.UID(rng.choice([0, 255, 256, 65536, 2**32, 2**64 - 1, rng.randrange(2**64)]))


def random_value(rng, xml, depth):
    choice = rng.random()
    if depth >= MAX_DEPTH or choice < 0.55:
        return random_scalar(rng, xml)
    if choice < 0.75:
        items = [random_value(rng, xml, depth + 1) for _ in range(rng.randrange(0, 9))]
        if items and rng.random() < 0.2:
            items.append(items[0])  # the same object twice: plistlib writes one shared object
        return items
    result = {}
    for _ in range(rng.randrange(0, 9)):
        result[random_string(rng, xml)] = random_value(rng, xml, depth + 1)
    return result


def random_root(rng, xml):
    choice = rng.random()
    if choice < 0.05:
        value = []  # a long chain of arrays
        for _ in range(200):
            value = [value]
        return value
    if choice < 0.15:
        return random_scalar(rng, xml)
    if choice < 0.3:
        return [random_value(rng, xml, 1) for _ in range(rng.randrange(0, 9))]
    return {random_string(rng, xml): random_value(rng, xml, 1) for _ in range(rng.randrange(1, 9))}


def roundtrip(tool, workdir, count, seed):
    rng = random.Random(seed)
    pairs = []
    for i in range(count):
        xml = i % 2 == 1
        fmt = plistlib.FMT_XML if xml else plistlib.FMT_BINARY
        source = os.path.join(workdir, "case%04d.%s.plist" % (i, "xml" if xml else "bin"))
        with open(source, "wb") as f:
            f.write(plistlib.dumps(random_root(rng, xml), fmt=fmt, sort_keys=False))
        pairs.append((source, source + ".out"))
    args = [tool] + [path for pair in pairs for path in pair]
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        print("rewrite failed:", done.stderr)
        return 1
    mismatches = 0
    for source, result in pairs:
        with open(source, "rb") as f:
            expected = plistlib.load(f)
        with open(result, "rb") as f:
            data = f.read()
        actual = plistlib.loads(data) if data.startswith(b"bplist00") else None
        if actual is None or not same(expected, actual):
            mismatches += 1
            print("mismatch in", source)
            print("  expected", repr(expected)[:400])
            print("  actual  ", repr(actual)[:400] if actual is not None else data[:40])
    print("compared %d, mismatches %d" % (count, mismatches))
    return 0 if mismatches == 0 else 1


def main(argv):
    if len(argv) == 6 and argv[1] == "roundtrip":
        return roundtrip(argv[2], argv[3], int(argv[4]), int(argv[5]))
    if len(argv) == 4 and argv[1] == "convert":
        with open(argv[2], "rb") as f:
            value = plistlib.load(f)
        with open(argv[3], "wb") as f:
            plistlib.dump(value, f, fmt=plistlib.FMT_BINARY, sort_keys=False)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
