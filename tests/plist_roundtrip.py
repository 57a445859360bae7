#!/usr/bin/python3
"""plist_roundtrip.py REWRITE_COMMAND WORKDIR COUNT SEED: differential test against plistlib.

plistlib writes COUNT random property lists, binary and XML in turn; REWRITE_TOOL reads each and
writes it back in binary; plistlib must read back what it wrote, with the same repr: types,
values (NaN equal to NaN, signed zeros apart) and key order. Prints "compared N, mismatches M".
"""
import datetime, functools, math, os, plistlib, random, struct, subprocess, sys

ASCII = ["a", "Z", "0", " ", "key", "\t", "\n", "<", "&", "]]>", "com.orvo.game"]
WIDE = ["\u00e9", "\u4e2d", "\U0001F600", "\U0010FFFF", "\ufffd", "\u0800"]
INTS = [0, 1, -1, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, -2**63]
FLOATS = [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1.7976931348623157e308, 0.1]
LENGTHS = [0, 1, 3, 14, 15, 16, 40, 300]  # about 15, where a length leaves the marker


def text(rng, xml):  # pure ASCII half the time, as it has an encoding of its own
    pieces = ASCII + (WIDE if rng.random() < 0.5 else []) + ([] if xml else ["\0", "\x01", "\r"])
    return "".join(rng.choice(pieces) for _ in range(rng.choice(LENGTHS)))


def value(rng, xml, depth=0):
    kinds = ["str", "int", "real", "bool", "data", "date"] + ([] if xml else ["uid"])
    kind = rng.choice(["list", "dict", "dict"] if depth == 0 else
                      kinds + ["list", "dict"] * 2 * (depth < 5))
    if kind == "list":
        items = [value(rng, xml, depth + 1) for _ in range(rng.randrange(9))]
        return items + items[:1] * (rng.random() < 0.2)  # one object twice: shared by plistlib
    if kind == "dict":
        return {text(rng, xml): value(rng, xml, depth + 1) for _ in range(rng.randrange(9))}
    return {
        "str": lambda: text(rng, xml),
        "int": lambda: rng.choice(INTS) if rng.random() < 0.5 else rng.randrange(-2**63, 2**64),
        "real": lambda: rng.choice([rng.choice(FLOATS), rng.uniform(-1e9, 1e9),
                                    struct.unpack(">d", rng.randbytes(8))[0]]),
        "bool": lambda: rng.random() < 0.5,
        "data": lambda: rng.randbytes(rng.choice(LENGTHS)),
        "date": lambda: datetime.datetime(2001, 1, 1) + datetime.timedelta(
            microseconds=rng.randrange(-3 * 10**15, 3 * 10**15)),
        "uid": lambda: plistlib.UID(rng.choice([0, 255, 256, 65536, 2**32, 2**64 - 1])),
    }[kind]()


def main(tool, workdir, count, seed):
    rng, pairs, mismatches = random.Random(int(seed)), [], 0
    for i in range(int(count)):
        if i % 100 in (2, 3):  # past 64 KiB and 255 objects: wider offsets and references
            root = [rng.uniform(0, 1e9) for _ in range(8000)]
        elif i % 20 in (4, 5):
            root = functools.reduce(lambda inner, _: [inner], range(200), [])
        else:
            root = value(rng, i % 2 == 1)
        source = os.path.join(workdir, "case%04d.plist" % i)
        with open(source, "wb") as f:
            fmt = plistlib.FMT_XML if i % 2 else plistlib.FMT_BINARY
            f.write(plistlib.dumps(root, fmt=fmt, sort_keys=False))
        pairs.append((source, source + ".out"))
    done = subprocess.run(tool.split() + [path for pair in pairs for path in pair],
                          capture_output=True)
    if done.returncode != 0:
        print("rewrite failed:", done.stderr.decode())
        return 1
    for source, result in pairs:
        with open(source, "rb") as f, open(result, "rb") as g:
            expected, data = plistlib.load(f), g.read()
        actual = plistlib.loads(data) if data.startswith(b"bplist00") else ("not binary", data)
        if repr(expected) != repr(actual):
            mismatches += 1
            print("mismatch in %s\n  expected %.400r\n  actual   %.400r" % (source, expected, actual))
    print("compared %s, mismatches %d" % (count, mismatches))
    return 0 if mismatches == 0 else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]) if len(sys.argv) == 5 else __doc__)
