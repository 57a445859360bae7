"""Hosts in Python and C#: each binding calls every entry point once, so that each kind of
argument and result crosses it (non-ASCII text both ways, empty text, no value, numbers, yes/no,
the Cyrillic export, JSON parsed), and refuses text the module would misread before calling it.

    bindings_check.py LIBRARY GROUP [CSHARP_CLIENT_EXE]

The Python binding is the orvomodule package that Python imports (PYTHONPATH may name the
source); the C# client runs with LIBRARY's folder on the loader's path.
"""
import base64, json, os, plistlib, shutil, subprocess, sys, tempfile
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

import orvomodule

library, group = sys.argv[1:3]
csharp = sys.argv[3] if len(sys.argv) > 3 else None

private = rsa.generate_private_key(public_exponent=65537, key_size=2048)
key = private.public_key().public_bytes(
    serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo).decode()
n, d = private.public_key().public_numbers().n, private.private_numbers().d


def block(chunk):  # a type-1 block through the raw private-key operation
    padded = b"\0\1" + b"\xff" * (256 - 3 - len(chunk)) + b"\0" + chunk
    return pow(int.from_bytes(padded, "big"), d, n).to_bytes(256, "big")


message = base64.b64encode(block("Grüße aus ".encode()) + block(b"dem Norden.")).decode()
oaep = padding.OAEP(mgf=padding.MGF1(hashes.SHA1()), algorithm=hashes.SHA1(), label=None)
listing = '[{"bundle":"a","lastPlayDate":5.0},{"bundle":"b"}]'
expected = ["p\u00e9-1", "", True, "b", "b", listing, "Grüße", "Grüße aus dem Norden.", None,
            False, "FRA", "refused"]


def python_session(home):
    module = orvomodule.Module(library)
    module.SetLastPlayDate("a", 5)
    refusals = [(ValueError, lambda: module.SetLastPlayDate("a\0junk", 9.0)),
                (ValueError, lambda: module.SetLastPlayDate("\ud800", 9.0)),
                (TypeError, lambda: module.SetLastPlayDate(b"a", 9.0)),
                (TypeError, lambda: module.SetLastPlayDate(None, 9.0)),
                (TypeError, lambda: module.SetLastPlayDate("a", "9")),
                (TypeError, lambda: module.SetLastPlayDate("a")),
                (TypeError, lambda: module.GetAllGames("a"))]
    refused = 0
    for error, call in refusals:
        try:
            call()
        except error:
            refused += 1
    if module.games() != json.loads(listing):
        sys.exit(f"Python: games() gave {module.games()!r}")
    return [module.GetUserID(), module.GetRefCode(), module.SetInterstitialDate("a", 100.0, 60.0),
            module.SetNextGameOnFire("a", 4e9), module.GetCurrentGameOnFire(),
            module.GetAllGames(), module.GetEncryptedData("Grüße", key),
            module.GetDecryptedData(message, key), module.GetDecryptedData(message, "no key"),
            module.CanOpenURL("not a url"), module.GetStoreCode(),
            "refused" if refused == len(refusals) else f"{refused} of {len(refusals)} refused",
            module.IsVPNEnabled()]


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
            json.dump({"UserID": "p\u00e9-1"}, f)
        with open(suite, "wb") as f:
            plistlib.dump({"refCode": "", "GamesKey": {"a": {"InterstitialsDates": [0.0]}, "b": {}}}, f,
                          fmt=plistlib.FMT_BINARY, sort_keys=False)
        results = session(home)
        with open(suite, "rb") as f:
            games = plistlib.load(f)["GamesKey"]
    finally:
        shutil.rmtree(home)
    vpn = results.pop() if len(results) == len(expected) + 1 else None
    if len(results) == len(expected) and isinstance(results[6], str):
        results[6] = private.decrypt(base64.b64decode(results[6]), oaep).decode()
    if results != expected or not isinstance(vpn, bool):
        failures.append(f"{name}: expected {expected!r}, got {results!r}, VPN {vpn!r}")
    # The numbers arrived as given; a refused call reached nothing (no time became 9).
    if (list(games) != ["a", "b"] or games["a"].get("LastPlayDate") != 5.0
            or games["b"].get("OnFireEndDate") != 4e9):
        failures.append(f"{name}: the registry holds {games!r}")
if failures:
    sys.exit("\n".join(failures))
print("bindings: all checks passed")
