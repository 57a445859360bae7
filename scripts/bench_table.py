"""Prints the entry-point benchmarks as one table: call, shape, time, floor, ratio, goal."""
import json
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

medians = {}
for run in json.load(open(sys.argv[1]))["benchmarks"]:
    if run.get("aggregate_name") == "median":
        name, _, shape = run["run_name"].removeprefix("BM_").partition("/")
        medians[(name, shape)] = run["real_time"] * {"ns": 1e-3, "us": 1, "ms": 1e3}[run["time_unit"]]

print(f"{'call':30} {'shape':12} {'time us':>10} {'floor us':>10} {'ratio':>6} {'goal':>5}")
failed = 0
order = list(CALLS)
rows = sorted((key for key in medians if key[0] in CALLS),
              key=lambda key: (order.index(key[0]), [int(n) for n in key[1].split("/") if n]))
for name, shape in rows:
    time = medians[(name, shape)]
    floor_name, goal = CALLS[name]
    floor = medians.get((floor_name, shape)) if floor_name else None
    ratio = f"{time / floor:6.2f}" if floor else "     -"
    over = floor and time / floor > goal
    failed += bool(over)
    print(f"{name:30} {shape or '-':12} {time:10.1f} {floor or 0:10.1f} {ratio} "
          f"{goal or '-':>5}{'  over' if over else ''}")
print(f"\n{failed} over their goal" if failed else "\nevery ratio within its goal")
