"""A host written in Python: seeds the app group's store with plistlib, calls the module
through ctypes and frees every returned text with the C library's free."""
import ctypes
import json
import os
import plistlib
import shutil
import sys
import tempfile

library_path, group = sys.argv[1], sys.argv[2]
failures = []


def check(label, actual, expected):
    if actual != expected:
        failures.append(f"{label}: expected {expected!r}, got {actual!r}")


libc = ctypes.CDLL(None)
libc.free.argtypes = [ctypes.c_void_p]
module = ctypes.CDLL(library_path)


def text_function(name, *argtypes):
    fn = getattr(module, name)
    fn.restype = ctypes.c_void_p
    fn.argtypes = list(argtypes)

    def call(*args):
        pointer = fn(*args)
        if pointer is None:
            return None
        value = ctypes.string_at(pointer).decode("utf-8")
        libc.free(pointer)
        return value

    return call


get_user_id = text_function("GetUserID")
get_ref_code = text_function("GetRefCode")
set_event_date = module.SetEventDate
set_event_date.argtypes = [ctypes.c_double]
set_event_date.restype = None

home = tempfile.mkdtemp(prefix="orvo-ctypes-")
try:
    os.environ["XDG_DATA_HOME"] = home
    container = os.path.join(home, "app-groups", group)
    preferences = os.path.join(container, "Library", "Preferences")
    os.makedirs(preferences)
    suite = os.path.join(preferences, group + ".plist")

    check("no UserData", get_user_id(), None)
    with open(os.path.join(container, "UserData"), "w") as f:
        json.dump({"UserID": "p\u00e9-1", "x": [1, 2]}, f)
    check("UserID", get_user_id(), "p\u00e9-1")

    check("no suite", get_ref_code(), None)
    with open(suite, "wb") as f:
        plistlib.dump({"refCode": "", "eventsDates": [1.0, 2.0], "big": 2**64 - 1,
                       "neg": -5, "blob": b"\x00\x01", "uid": plistlib.UID(3)}, f,
                      fmt=plistlib.FMT_BINARY, sort_keys=False)
    check("empty refCode", get_ref_code(), "")
    set_event_date(2.0)
    with open(suite, "rb") as f:
        stored = plistlib.load(f)
    check("eventsDates", stored["eventsDates"], [1.0, 2.0, 2.0])
    check("untouched values", (stored["big"], stored["neg"], stored["blob"], stored["uid"]),
          (2**64 - 1, -5, b"\x00\x01", plistlib.UID(3)))
    check("key order", list(stored), ["refCode", "eventsDates", "big", "neg", "blob", "uid"])

    with open(suite, "wb") as f:
        plistlib.dump({"refCode": "ORVO-9"}, f, fmt=plistlib.FMT_XML)
    check("refCode from XML", get_ref_code(), "ORVO-9")
finally:
    shutil.rmtree(home)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("ctypes client: all checks passed")
