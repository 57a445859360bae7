"""Runs call_probe on registries of three sizes under callgrind and massif and prints, for each
call, instructions per stored value, its peak heap (the process's, less what the same process
holds when no suite exists) against the file's size, and the page faults of the call in a fresh
process, where every page it touches is new, against the file's pages."""
import os
import plistlib
import re
import subprocess
import sys
import tempfile

probe, group = sys.argv[1], sys.argv[2]
CALLS = ["GetRefCode", "GetAllGames", "GetCurrentGameOnFire", "SetLastPlayDate",
         "SetNextGameOnFire", "SetInterstitialDate", "SetEventDate"]
SHAPES = [(5, 10), (50, 100), (200, 500)]


def suite(games, entries):
    registry = {}
    for g in range(games):
        registry["A" if g == 0 else f"com.orvo.game{g}"] = {
            "InterstitialsDates": [1e9 + 10.0 * i + g / 1000 for i in range(entries)],
            "LastPlayDate": 1.7e9 + g, "OnFireEndDate": 4e9 if g == 1 else 1.6e9}
    return {"GamesKey": registry, "eventsDates": [1.7e9 + 3600.0 * i for i in range(20)],
            "refCode": "A1B2C3"}


def run(command, env):
    return subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout


print(f"{'call':22} {'shape':8} {'file KB':>8} {'instr/value':>11} {'heap KB':>8} {'heap/file':>9} "
      f"{'faults':>6} {'faults/pages':>12}")
with tempfile.TemporaryDirectory(dir="/dev/shm") as home:
    out = os.path.join(home, "out")
    run(["valgrind", "--tool=massif", f"--massif-out-file={out}", probe, "GetRefCode"],
        dict(os.environ, XDG_DATA_HOME=home))
    baseline = max(int(b) for b in re.findall(r"mem_heap_B=(\d+)", open(out).read()))

for games, entries in SHAPES:
    with tempfile.TemporaryDirectory(dir="/dev/shm") as home:
        folder = os.path.join(home, "app-groups", group, "Library", "Preferences")
        os.makedirs(folder)
        seed = os.path.join(home, "seed.plist")
        with open(seed, "wb") as out:
            plistlib.dump(suite(games, entries), out, fmt=plistlib.FMT_BINARY)
        size = os.path.getsize(seed)
        env = dict(os.environ, XDG_DATA_HOME=home)
        for call in CALLS:
            args = [probe, call, seed]
            out = os.path.join(home, "out")
            run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                 f"--callgrind-out-file={out}"] + args, env)
            instructions = int(re.search(r"^totals: (\d+)", open(out).read(), re.M).group(1))
            run(["valgrind", "--tool=massif", f"--massif-out-file={out}"] + args, env)
            heap = max(int(b) for b in re.findall(r"mem_heap_B=(\d+)", open(out).read())) - baseline
            faults = int(re.search(r"page faults: (\d+)", run(args, env)).group(1))
            print(f"{call:22} {games}x{entries:<6} {size / 1024:8.0f} "
                  f"{instructions / (games * entries):11.0f} {heap / 1024:8.0f} {heap / size:9.2f} "
                  f"{faults:6d} {faults / -(-size // 4096):12.2f}")
