"""OrvoModule for Python hosts, over ctypes.

    import orvomodule
    module = orvomodule.Module()          # the installed libOrvoModule.so.1, or a path
    module.SetLastPlayDate("com.orvo.alpha", 1.7e9)
    print(module.GetAllGames())

Every entry point is a method of the same name with the right argument and result types. Texts
go in as str (sent as UTF-8; None is sent as a null pointer) and come back as str or None, the
module's copy released with its own OrvoModuleFree. Yes/no results are bool. The on-fire entry
point, exported with a Cyrillic letter in its name, is the method GetCurrentGameOnFire.
"""
import ctypes

_TEXT_OUT, _TEXT_IN = ctypes.c_void_p, ctypes.c_char_p
_NUMBER, _BOOL = ctypes.c_double, ctypes.c_bool

# Exported name: (argument types, result type).
_ENTRY_POINTS = {
    "GetStoreCode": ([], _TEXT_OUT),
    "GetUserID": ([], _TEXT_OUT),
    "GetRefCode": ([], _TEXT_OUT),
    "SetEventDate": ([_NUMBER], None),
    "SetNextGameOnFire": ([_TEXT_IN, _NUMBER], _TEXT_OUT),
    "GetCurrentGam\u0435OnFire": ([], _TEXT_OUT),
    "GetAllGames": ([], _TEXT_OUT),
    "SetInterstitialDate": ([_TEXT_IN, _NUMBER, _NUMBER], _BOOL),
    "SetLastPlayDate": ([_TEXT_IN, _NUMBER], None),
    "GetEncryptedData": ([_TEXT_IN, _TEXT_IN], _TEXT_OUT),
    "GetDecryptedData": ([_TEXT_IN, _TEXT_IN], _TEXT_OUT),
    "CanOpenURL": ([_TEXT_IN], _BOOL),
    "IsVPNEnabled": ([], _BOOL),
}


class Module:
    """The loaded library; `path` is handed to the dynamic loader as it is."""

    def __init__(self, path="libOrvoModule.so.1"):
        library = ctypes.CDLL(path)
        self._release = library.OrvoModuleFree
        self._release.argtypes, self._release.restype = [ctypes.c_void_p], None
        for name, (arguments, result) in _ENTRY_POINTS.items():
            function = library[name]
            function.argtypes, function.restype = arguments, result
            setattr(self, name.replace("\u0435", "e"), self._wrap(function, result))

    def _wrap(self, function, result):
        def call(*args):
            value = function(*(a.encode("utf-8") if isinstance(a, str) else a for a in args))
            if result is not _TEXT_OUT or value is None:
                return value
            try:
                return ctypes.string_at(value).decode("utf-8")
            finally:
                self._release(value)
        return call
