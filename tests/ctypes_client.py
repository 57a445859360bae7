"""A host written in Python: seeds the app group's store with plistlib, calls the module
through ctypes and frees every returned text with the C library's free."""
import ctypes, json, os, plistlib, shutil, sys, tempfile

library_path, group = sys.argv[1], sys.argv[2]
libc, module = ctypes.CDLL(None), ctypes.CDLL(library_path)
libc.free.argtypes = [ctypes.c_void_p]
module.SetEventDate.argtypes, module.SetEventDate.restype = [ctypes.c_double], None


def text(name):
    fn = getattr(module, name)
    fn.argtypes, fn.restype = [], ctypes.c_void_p
    pointer = fn()
    if pointer is None:
        return None
    value = ctypes.string_at(pointer).decode("utf-8")
    libc.free(pointer)
    return value


home = tempfile.mkdtemp(prefix="orvo-ctypes-")
try:
    os.environ["XDG_DATA_HOME"] = home
    container = os.path.join(home, "app-groups", group)
    suite = os.path.join(container, "Library", "Preferences", group + ".plist")
    os.makedirs(os.path.dirname(suite))
    with open(os.path.join(container, "UserData"), "w") as f:
        json.dump({"UserID": "p\u00e9-1", "x": [1, 2]}, f)
    # Values of every kind the module does not touch, which must come back as they were.
    seeded = {"refCode": "", "eventsDates": [1.0, 2.0], "big": 2**64 - 1, "neg": -5,
              "blob": b"\x00\x01", "uid": plistlib.UID(3)}
    with open(suite, "wb") as f:
        plistlib.dump(seeded, f, fmt=plistlib.FMT_BINARY, sort_keys=False)
    actual = [text("GetUserID"), text("GetRefCode")]
    module.SetEventDate(2.0)
    with open(suite, "rb") as f:
        actual.append(list(plistlib.load(f).items()))  # in their order
finally:
    shutil.rmtree(home)

seeded["eventsDates"].append(2.0)
expected = ["p\u00e9-1", "", list(seeded.items())]
if repr(actual) != repr(expected):  # repr keeps 2.0 and 2 apart
    sys.exit(f"expected {expected!r}\n     got {actual!r}")
print("ctypes client: all checks passed")
