"""Hosts in Python and C#: each binding calls every entry point on a store seeded with plistlib,
with a key pair of Python's cryptography and a message made by its raw private-key operation, and
gets the documented results; values the module does not touch come back as they were.

    bindings_check.py LIBRARY GROUP BINDINGS_FOLDER [CSHARP_CLIENT_EXE]
"""
import base64, json, os, plistlib, shutil, subprocess, sys, tempfile
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

library, group, bindings = sys.argv[1:4]
csharp = sys.argv[4] if len(sys.argv) > 4 else None
sys.path.insert(0, os.path.join(bindings, "python"))
import orvomodule  # noqa: E402

private = rsa.generate_private_key(public_exponent=65537, key_size=2048)
key = private.public_key().public_bytes(
    serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo).decode()
n, d = private.public_key().public_numbers().n, private.private_numbers().d


def block(chunk):  # a type-1 block through the raw private-key operation
    padded = b"\0\1" + b"\xff" * (256 - 3 - len(chunk)) + b"\0" + chunk
    return pow(int.from_bytes(padded, "big"), d, n).to_bytes(256, "big")


message = base64.b64encode(block("Grüße aus ".encode()) + block(b"dem Norden.")).decode()
oaep = padding.OAEP(mgf=padding.MGF1(hashes.SHA1()), algorithm=hashes.SHA1(), label=None)
# Values of every kind the module does not touch, which must come back as they were.
seeded = {"refCode": "", "eventsDates": [1.0], "big": 2**64 - 1, "neg": -5, "blob": b"\x00\x01",
          "uid": plistlib.UID(3), "GamesKey": {"a": {"InterstitialsDates": [0.0]}, "b": {}}}
listing = '[{"bundle":"a","lastPlayDate":5.0},{"bundle":"b"}]'
expected = ["p\u00e9-1", "", True, "b", "b", listing, "Grüße", "Grüße aus dem Norden.", False,
            "FRA"]


def python_session(home):
    module = orvomodule.Module(library)
    module.SetEventDate(2.0)
    module.SetLastPlayDate("a", 5.0)
    return [module.GetUserID(), module.GetRefCode(), module.SetInterstitialDate("a", 100.0, 60.0),
            module.SetNextGameOnFire("a", 4e9), module.GetCurrentGameOnFire(),
            module.GetAllGames(), module.GetEncryptedData("Grüße", key),
            module.GetDecryptedData(message, key), module.CanOpenURL("not a url"),
            module.IsVPNEnabled(), module.GetStoreCode()]


def csharp_session(home):
    with open(os.path.join(home, "key.pem"), "w") as f:
        f.write(key)
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.path.abspath(library)))
    run = subprocess.run(["mono", csharp, os.path.join(home, "key.pem"), message], env=env,
                         capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"C# client failed: {run.stderr}")
    return [json.loads(line) for line in run.stdout.splitlines()]


failures = []
for name, session in [("Python", python_session)] + ([("C#", csharp_session)] if csharp else []):
    home = tempfile.mkdtemp(prefix="orvo-bindings-")
    try:
        os.environ.update(XDG_DATA_HOME=home, LC_ALL="", LC_MONETARY="", LANG="fr_FR.UTF-8")
        container = os.path.join(home, "app-groups", group)
        suite = os.path.join(container, "Library", "Preferences", group + ".plist")
        os.makedirs(os.path.dirname(suite))
        with open(os.path.join(container, "UserData"), "w") as f:
            json.dump({"UserID": "p\u00e9-1", "x": [1, 2]}, f)
        with open(suite, "wb") as f:
            plistlib.dump(seeded, f, fmt=plistlib.FMT_BINARY, sort_keys=False)
        results = session(home)
        with open(suite, "rb") as f:
            stored = plistlib.load(f)
    finally:
        shutil.rmtree(home)
    if len(results) == 11 and isinstance(results[6], str):
        results[6] = private.decrypt(base64.b64decode(results[6]), oaep).decode()
    vpn = results.pop(9) if len(results) == 11 else None
    if results != expected or not isinstance(vpn, bool):
        failures.append(f"{name}: expected {expected!r}, got {results!r}, VPN {vpn!r}")
    games = stored.pop("GamesKey")
    untouched = dict(seeded, eventsDates=[1.0, 2.0])
    untouched.pop("GamesKey")
    if repr(list(stored.items())) != repr(list(untouched.items())):  # repr keeps 2.0 and 2 apart
        failures.append(f"{name}: the store holds {stored!r}")
    if games["a"]["LastPlayDate"] != 5.0 or games["b"]["OnFireEndDate"] != 4e9:
        failures.append(f"{name}: the registry holds {games!r}")
if failures:
    sys.exit("\n".join(failures))
print("bindings: all checks passed")
