// A host in C#: calls every entry point through the binding in the order the bindings check
// gives, with the key and peer message it names, and text the binding must refuse; prints each
// result as a JSON value in ASCII, whatever the console's encoding.
using System;
using System.Text;
using Orvo;

static class BindingClient
{
    static string Json(object value)
    {
        if (value == null) return "null";
        if (value is bool) return (bool)value ? "true" : "false";
        var text = new StringBuilder("\"");
        foreach (char c in (string)value)
        {
            if (c == '"' || c == '\\') text.Append('\\').Append(c);
            else if (c < ' ' || c > '~') text.AppendFormat("\\u{0:x4}", (int)c);
            else text.Append(c);
        }
        return text.Append('"').ToString();
    }

    // "refused" when the binding throws ArgumentException for text the module would misread.
    static string Refused(Action call)
    {
        try { call(); } catch (ArgumentException) { return "refused"; }
        return "called";
    }

    static int Main(string[] args)
    {
        string key = System.IO.File.ReadAllText(args[0]), message = args[1];
        OrvoModule.SetLastPlayDate("a", 5.0);
        string nul = Refused(() => OrvoModule.SetLastPlayDate("a\0junk", 9.0));
        string surrogate = Refused(() => OrvoModule.SetLastPlayDate("\uD800", 9.0));
        object[] results = {
            OrvoModule.GetUserID(), OrvoModule.GetRefCode(),
            OrvoModule.SetInterstitialDate("a", 100.0, 60.0), OrvoModule.SetNextGameOnFire("a", 4e9),
            OrvoModule.GetCurrentGameOnFire(), OrvoModule.GetAllGames(),
            OrvoModule.GetEncryptedData("Gr\u00fc\u00dfe", key), OrvoModule.GetDecryptedData(message, key),
            OrvoModule.GetDecryptedData(message, "no key"), OrvoModule.CanOpenURL("not a url"),
            OrvoModule.GetStoreCode(), nul == surrogate ? nul : nul + "/" + surrogate,
            OrvoModule.IsVPNEnabled(),
        };
        foreach (object result in results) Console.WriteLine(Json(result));
        return 0;
    }
}
