"""Prints the entry-point benchmarks as one table: call, shape, time, floor, ratio, goal, and
the file-system calls of one call against their budget.
   bench_table.py RESULTS.json... [--before RESULTS.json...]
Several files of one build give the median of their medians; with --before, the calls of another
build are shown beside, each against its own floor."""
import json
import statistics
import sys

# Each call, the floor it is measured against, and the ratio it must stay within.
CALLS = {
    "GetRefCode": ("RefCodeFloor", 1.5),
    "GetAllGames": ("AllGamesFloor", 1.5),
    "GetCurrentGameOnFire": ("OnFireFloor", 1.5),
    "SetLastPlayDate": ("WriteFloor", 1.3),
    "SetNextGameOnFire": ("WriteFloor", 1.3),
    "SetEventDate": ("WriteFloor", 1.3),
    "SetInterstitialDate_NoPrune": ("WriteFloor", 1.3),
    "SetInterstitialDate_Prune": ("WriteFloor", 1.3),
    "SetInterstitialDate_Check": ("WriteFloor", 1.3),
    "SetEventDateLongLog": ("WriteFloorLongLog", 1.3),
    "GetUserID": ("GetUserIDFloor", 1.3),
    "GetEncryptedData": ("GetEncryptedDataFloor", 1.2),
    "GetDecryptedData": ("GetDecryptedDataFloor", 1.2),
    "CanOpenURL": (None, None),
    "IsVPNEnabled": (None, None),
    "GetStoreCode": (None, None),
}
UNITS = {"ns": 1e-3, "us": 1, "ms": 1e3}
# The file-system calls a store call may make: a read opens, sizes, reads and closes the suite;
# a writer adds the lock (open, flock, close), the temporary file (open, write, fsync, close),
# the last good copy (link, rename), the rename into place and the folder's fsync.
READ_CALLS, WRITE_CALLS = 4, 17
BUDGETS = {name: READ_CALLS for name in ("GetRefCode", "GetAllGames", "GetCurrentGameOnFire")}
BUDGETS.update({name: WRITE_CALLS for name in CALLS if name.startswith("Set")})


def medians(files):
    """(name, shape) -> microseconds: the median of each file's median; and (name, shape) ->
    the file-system calls of one call, where counted."""
    found, calls = {}, {}
    for path in files:
        for run in json.load(open(path))["benchmarks"]:
            if run.get("aggregate_name") == "median":
                name, _, shape = run["run_name"].removeprefix("BM_").partition("/")
                found.setdefault((name, shape), []).append(run["real_time"] * UNITS[run["time_unit"]])
                if "file_calls" in run:
                    calls[(name, shape)] = int(run["file_calls"])
    return {key: statistics.median(times) for key, times in found.items()}, calls


def ratio(times, name, shape):
    floor_name = CALLS[name][0]
    floor = times.get((floor_name, shape)) if floor_name else None
    return floor, (times[(name, shape)] / floor if floor else None)


args = sys.argv[1:]
split = args.index("--before") if "--before" in args else len(args)
(after, calls), (before, _) = medians(args[:split]), medians(args[split + 1:])
order = list(CALLS)
rows = sorted((key for key in after if key[0] in CALLS),
              key=lambda key: (order.index(key[0]), [int(n) for n in key[1].split("/") if n]))
head = f"{'call':30} {'shape':12}"
if before:
    head += f" {'before us':>10} {'ratio':>6}"
print(head + f" {'time us':>10} {'floor us':>10} {'ratio':>6} {'goal':>5} {'calls':>5} {'most':>4}")
failed = 0
for name, shape in rows:
    line = f"{name:30} {shape or '-':12}"
    if before:
        _, old = ratio(before, name, shape) if (name, shape) in before else (None, None)
        time = before.get((name, shape), 0)
        line += f" {time:10.1f} {old:6.2f}" if old else f" {time:10.1f}      -"
    floor, now = ratio(after, name, shape)
    goal = CALLS[name][1]
    count, most = calls.get((name, shape)), BUDGETS.get(name)
    over = (now and now > goal) or (count is not None and most is not None and count > most)
    failed += bool(over)
    line += f" {after[(name, shape)]:10.1f} {floor or 0:10.1f} "
    line += f"{now:6.2f}" if now else "     -"
    line += f" {goal or '-':>5} {'-' if count is None else count:>5} {most or '-':>4}"
    print(line + ("  over" if over else ""))
print(f"\n{failed} over their goal" if failed else "\nevery call within its goals")
