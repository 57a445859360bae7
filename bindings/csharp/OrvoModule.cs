// OrvoModule for C# hosts (Mono, .NET): every entry point with its exact exported name and the
// marshalling the C interface needs. Texts go in as UTF-8 and come back as string or null, the
// module's copy released with its own OrvoModuleFree; yes/no results are one-byte bools.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Orvo
{
    public static class OrvoModule
    {
        // The versioned file name: what the package installs, found without a development link.
        const string Library = "libOrvoModule.so.1";

        public static string GetStoreCode() { return Take(Native.GetStoreCode()); }
        public static string GetUserID() { return Take(Native.GetUserID()); }
        public static string GetRefCode() { return Take(Native.GetRefCode()); }
        public static void SetEventDate(double eventDate) { Native.SetEventDate(eventDate); }
        public static string SetNextGameOnFire(string gameKey, double value)
        {
            return Take(Native.SetNextGameOnFire(gameKey, value));
        }
        public static string GetCurrentGameOnFire() { return Take(Native.GetCurrentGameOnFire()); }
        public static string GetAllGames() { return Take(Native.GetAllGames()); }
        public static bool SetInterstitialDate(string gameKey, double value, double duration)
        {
            return Native.SetInterstitialDate(gameKey, value, duration);
        }
        public static void SetLastPlayDate(string gameKey, double value)
        {
            Native.SetLastPlayDate(gameKey, value);
        }
        public static string GetEncryptedData(string text, string keyString)
        {
            return Take(Native.GetEncryptedData(text, keyString));
        }
        public static string GetDecryptedData(string text, string keyString)
        {
            return Take(Native.GetDecryptedData(text, keyString));
        }
        public static bool CanOpenURL(string url) { return Native.CanOpenURL(url); }
        public static bool IsVPNEnabled() { return Native.IsVPNEnabled(); }

        // The module's text as a string, its copy released where it was made.
        static string Take(IntPtr text)
        {
            if (text == IntPtr.Zero) return null;
            try
            {
                int length = 0;
                while (Marshal.ReadByte(text, length) != 0) ++length;
                byte[] bytes = new byte[length];
                Marshal.Copy(text, bytes, 0, length);
                return Encoding.UTF8.GetString(bytes);
            }
            finally
            {
                Native.OrvoModuleFree(text);
            }
        }

        static class Native
        {
            [DllImport(Library)] public static extern void OrvoModuleFree(IntPtr text);
            [DllImport(Library)] public static extern IntPtr GetStoreCode();
            [DllImport(Library)] public static extern IntPtr GetUserID();
            [DllImport(Library)] public static extern IntPtr GetRefCode();
            [DllImport(Library)] public static extern void SetEventDate(double eventDate);
            [DllImport(Library)]
            public static extern IntPtr SetNextGameOnFire(
                [MarshalAs(UnmanagedType.LPUTF8Str)] string gameKey, double value);
            // The letter after "Gam" is U+0435 CYRILLIC SMALL LETTER IE.
            [DllImport(Library, EntryPoint = "GetCurrentGam\u0435OnFire")]
            public static extern IntPtr GetCurrentGameOnFire();
            [DllImport(Library)] public static extern IntPtr GetAllGames();
            [DllImport(Library)]
            [return: MarshalAs(UnmanagedType.I1)]
            public static extern bool SetInterstitialDate(
                [MarshalAs(UnmanagedType.LPUTF8Str)] string gameKey, double value, double duration);
            [DllImport(Library)]
            public static extern void SetLastPlayDate(
                [MarshalAs(UnmanagedType.LPUTF8Str)] string gameKey, double value);
            [DllImport(Library)]
            public static extern IntPtr GetEncryptedData(
                [MarshalAs(UnmanagedType.LPUTF8Str)] string text,
                [MarshalAs(UnmanagedType.LPUTF8Str)] string keyString);
            [DllImport(Library)]
            public static extern IntPtr GetDecryptedData(
                [MarshalAs(UnmanagedType.LPUTF8Str)] string text,
                [MarshalAs(UnmanagedType.LPUTF8Str)] string keyString);
            [DllImport(Library)]
            [return: MarshalAs(UnmanagedType.I1)]
            public static extern bool CanOpenURL([MarshalAs(UnmanagedType.LPUTF8Str)] string url);
            [DllImport(Library)]
            [return: MarshalAs(UnmanagedType.I1)]
            public static extern bool IsVPNEnabled();
        }
    }
}
