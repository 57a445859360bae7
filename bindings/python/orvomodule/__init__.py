"""OrvoModule for Python hosts: the module's entry points over ctypes.

    import orvomodule
    module = orvomodule.Module()          # the installed libOrvoModule.so.1, or a path
    module.SetLastPlayDate("com.orvo.alpha", 1.7e9)
    print(module.games())

Every entry point is a method of the same name. Texts go in as str, sent as UTF-8, and come back
as str, or None for the module's no-value result; the module's copy is released with its own
OrvoModuleFree. A text argument that is not a str raises TypeError, and one that holds U+0000
(which would cut it short) or a lone surrogate raises ValueError, before the module is called.
Times and durations are int or float. Yes/no results are bool. The on-fire entry point, exported
with a Cyrillic letter after "Gam", is the method GetCurrentGameOnFire.
"""
from __future__ import annotations

import ctypes
import json
from typing import Any, List, TypedDict, cast

__all__ = ["Game", "LIBRARY", "Module", "__version__"]
__version__ = "1.0.0"

#: The library by its SONAME: the dynamic loader finds the installed one (liborvomodule1).
LIBRARY = "libOrvoModule.so.1"

_TEXT_IN, _TEXT_OUT = ctypes.c_char_p, ctypes.c_void_p
_NUMBER, _BOOL = ctypes.c_double, ctypes.c_bool

# Method name: (exported name, argument types, result type).
_ENTRY_POINTS: dict[str, tuple[str, list[Any], Any]] = {
    "GetStoreCode": ("GetStoreCode", [], _TEXT_OUT),
    "GetUserID": ("GetUserID", [], _TEXT_OUT),
    "GetRefCode": ("GetRefCode", [], _TEXT_OUT),
    "SetEventDate": ("SetEventDate", [_NUMBER], None),
    "SetNextGameOnFire": ("SetNextGameOnFire", [_TEXT_IN, _NUMBER], _TEXT_OUT),
    "GetCurrentGameOnFire": ("GetCurrentGam\u0435OnFire", [], _TEXT_OUT),
    "GetAllGames": ("GetAllGames", [], _TEXT_OUT),
    "SetInterstitialDate": ("SetInterstitialDate", [_TEXT_IN, _NUMBER, _NUMBER], _BOOL),
    "SetLastPlayDate": ("SetLastPlayDate", [_TEXT_IN, _NUMBER], None),
    "GetEncryptedData": ("GetEncryptedData", [_TEXT_IN, _TEXT_IN], _TEXT_OUT),
    "GetDecryptedData": ("GetDecryptedData", [_TEXT_IN, _TEXT_IN], _TEXT_OUT),
    "CanOpenURL": ("CanOpenURL", [_TEXT_IN], _BOOL),
    "IsVPNEnabled": ("IsVPNEnabled", [], _BOOL),
}


class _GameBundle(TypedDict):
    bundle: str


class Game(_GameBundle, total=False):
    """One game of the listing: its key, and its last-play time when one is recorded."""

    lastPlayDate: Any


def _text(value: object, name: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{name} holds U+0000, which would cut the text short")
    return value.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError, a ValueError


def _number(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be int or float, not {type(value).__name__}")
    return float(value)


class Module:
    """The loaded library, whose entry points the methods call."""

    def __init__(self, path: str = LIBRARY) -> None:
        """Loads the library; `path` goes to the dynamic loader as it is (OSError when it
        cannot be loaded)."""
        library = ctypes.CDLL(path)
        self._free = library.OrvoModuleFree
        self._free.argtypes, self._free.restype = [ctypes.c_void_p], None
        self._entry: dict[str, Any] = {}
        for method, (exported, arguments, result) in _ENTRY_POINTS.items():
            function = library[exported]
            function.argtypes, function.restype = arguments, result
            self._entry[method] = function

    def _take(self, address: int | None) -> str | None:
        """The module's text as a str, its copy released where it was made."""
        if address is None:
            return None
        try:
            return ctypes.string_at(address).decode("utf-8")
        finally:
            self._free(address)

    def GetStoreCode(self) -> str | None:
        """ISO 3166-1 alpha-3 code of the storefront country; None when there is none."""
        return self._take(self._entry["GetStoreCode"]())

    def GetUserID(self) -> str | None:
        """The player identity "UserID" from the group's "UserData" file; None when none."""
        return self._take(self._entry["GetUserID"]())

    def GetRefCode(self) -> str | None:
        """The referral code stored under "refCode"; None when none is stored."""
        return self._take(self._entry["GetRefCode"]())

    def SetEventDate(self, eventDate: float) -> None:
        """Appends eventDate to the shared event log "eventsDates"."""
        self._entry["SetEventDate"](_number(eventDate, "eventDate"))

    def SetNextGameOnFire(self, gameKey: str, value: float) -> str | None:
        """Puts another game than gameKey on fire until value (seconds since 1970) and returns
        its key; None when no game was chosen."""
        key, end = _text(gameKey, "gameKey"), _number(value, "value")
        return self._take(self._entry["SetNextGameOnFire"](key, end))

    def GetCurrentGameOnFire(self) -> str | None:
        """The key of the game on fire now; None when no game is."""
        return self._take(self._entry["GetCurrentGameOnFire"]())

    def GetAllGames(self) -> str | None:
        """The listing of the registered games as JSON text; None when there is no registry
        or it cannot be written as JSON."""
        return self._take(self._entry["GetAllGames"]())

    def games(self) -> list[Game] | None:
        """GetAllGames parsed: one Game per registered game, in the registry's order."""
        listing = self.GetAllGames()
        return None if listing is None else cast(List[Game], json.loads(listing))

    def SetInterstitialDate(self, gameKey: str, value: float, duration: float) -> bool:
        """Records an interstitial at value for gameKey; True when the game's oldest one lies
        before the window [value - duration, value] and no other game has one inside it."""
        key = _text(gameKey, "gameKey")
        at, window = _number(value, "value"), _number(duration, "duration")
        return bool(self._entry["SetInterstitialDate"](key, at, window))

    def SetLastPlayDate(self, gameKey: str, value: float) -> None:
        """Records value as the last-play time of gameKey."""
        key, at = _text(gameKey, "gameKey"), _number(value, "value")
        self._entry["SetLastPlayDate"](key, at)

    def GetEncryptedData(self, text: str, keyString: str) -> str | None:
        """Base64 of text encrypted (RSA-OAEP, SHA-1) with the PEM public key keyString; None
        when the key or the encryption fails."""
        plain, key = _text(text, "text"), _text(keyString, "keyString")
        return self._take(self._entry["GetEncryptedData"](plain, key))

    def GetDecryptedData(self, text: str, keyString: str) -> str | None:
        """The peer's text decrypted from its base64 blocks with the PEM public key keyString;
        None when the key or a block fails or the result is not UTF-8."""
        sealed, key = _text(text, "text"), _text(keyString, "keyString")
        return self._take(self._entry["GetDecryptedData"](sealed, key))

    def CanOpenURL(self, url: str) -> bool:
        """True when an installed application handles the URL's scheme."""
        return bool(self._entry["CanOpenURL"](_text(url, "url")))

    def IsVPNEnabled(self) -> bool:
        """True when a network interface of a tunnel kind is up."""
        return bool(self._entry["IsVPNEnabled"]())
