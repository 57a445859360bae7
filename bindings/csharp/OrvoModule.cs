// OrvoModule for C# hosts (.NET, Mono, Unity): every entry point with its exact exported name and
// the marshalling the C interface needs. Texts go in as NUL-terminated UTF-8 and come back as
// string or null, the module's copy released with its own OrvoModuleFree; yes/no results are
// one-byte bools. Text that holds U+0000, which would cut it short, or a lone surrogate, which has
// no UTF-8 form, throws ArgumentException before the module is called; null text is passed as a
// null pointer and gives the module's no-value result.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Orvo
{
    public static class OrvoModule
    {
        // libOrvoModule.so as .NET, Mono and Unity look for it: from the NuGet package's
        // runtimes/<rid>/native, the Unity package's Plugins, beside the assembly, or through the
        // dynamic loader (liborvomodule-dev links it to the installed libOrvoModule.so.1).
        const string Library = "OrvoModule";

        public static string GetStoreCode() { return Take(Native.GetStoreCode()); }
        public static string GetUserID() { return Take(Native.GetUserID()); }
        public static string GetRefCode() { return Take(Native.GetRefCode()); }
        public static void SetEventDate(double eventDate) { Native.SetEventDate(eventDate); }
        public static string SetNextGameOnFire(string gameKey, double value)
        {
            return Take(Native.SetNextGameOnFire(Utf8(gameKey, "gameKey"), value));
        }
        public static string GetCurrentGameOnFire() { return Take(Native.GetCurrentGameOnFire()); }
        public static string GetAllGames() { return Take(Native.GetAllGames()); }
        public static bool SetInterstitialDate(string gameKey, double value, double duration)
        {
            return Native.SetInterstitialDate(Utf8(gameKey, "gameKey"), value, duration);
        }
        public static void SetLastPlayDate(string gameKey, double value)
        {
            Native.SetLastPlayDate(Utf8(gameKey, "gameKey"), value);
        }
        public static string GetEncryptedData(string text, string keyString)
        {
            return Take(Native.GetEncryptedData(Utf8(text, "text"), Utf8(keyString, "keyString")));
        }
        public static string GetDecryptedData(string text, string keyString)
        {
            return Take(Native.GetDecryptedData(Utf8(text, "text"), Utf8(keyString, "keyString")));
        }
        public static bool CanOpenURL(string url) { return Native.CanOpenURL(Utf8(url, "url")); }
        public static bool IsVPNEnabled() { return Native.IsVPNEnabled(); }

        static readonly UTF8Encoding StrictUtf8 = new UTF8Encoding(false, true);

        // The caller's text as the module reads it: UTF-8 and a terminating NUL.
        static byte[] Utf8(string text, string name)
        {
            if (text == null) return null;
            if (text.IndexOf('\0') >= 0)
                throw new ArgumentException("the text holds U+0000, which would cut it short", name);
            try
            {
                byte[] bytes = new byte[StrictUtf8.GetByteCount(text) + 1];
                StrictUtf8.GetBytes(text, 0, text.Length, bytes, 0);
                return bytes;
            }
            catch (EncoderFallbackException e)
            {
                throw new ArgumentException("the text holds a lone surrogate", name, e);
            }
        }

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
                byte[] gameKey, double value);
            // The letter after "Gam" is U+0435 CYRILLIC SMALL LETTER IE.
            [DllImport(Library, EntryPoint = "GetCurrentGam\u0435OnFire")]
            public static extern IntPtr GetCurrentGameOnFire();
            [DllImport(Library)] public static extern IntPtr GetAllGames();
            [DllImport(Library)]
            [return: MarshalAs(UnmanagedType.I1)]
            public static extern bool SetInterstitialDate(
                byte[] gameKey, double value, double duration);
            [DllImport(Library)]
            public static extern void SetLastPlayDate(
                byte[] gameKey, double value);
            [DllImport(Library)]
            public static extern IntPtr GetEncryptedData(
                byte[] text,
                byte[] keyString);
            [DllImport(Library)]
            public static extern IntPtr GetDecryptedData(
                byte[] text,
                byte[] keyString);
            [DllImport(Library)]
            [return: MarshalAs(UnmanagedType.I1)]
            public static extern bool CanOpenURL(byte[] url);
            [DllImport(Library)]
            [return: MarshalAs(UnmanagedType.I1)]
            public static extern bool IsVPNEnabled();
        }
    }
}
