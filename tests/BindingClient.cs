// A host in C#: calls every entry point through the binding in the order the bindings check
// gives, with the key and peer message it names, and prints each result as a JSON value in
// ASCII, whatever the console's encoding.
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

    static int Main(string[] args)
    {
        string key = System.IO.File.ReadAllText(args[0]), message = args[1];
        OrvoModule.SetEventDate(2.0);
        OrvoModule.SetLastPlayDate("a", 5.0);
        object[] results = {
            OrvoModule.GetUserID(), OrvoModule.GetRefCode(),
            OrvoModule.SetInterstitialDate("a", 100.0, 60.0), OrvoModule.SetNextGameOnFire("a", 4e9),
            OrvoModule.GetCurrentGameOnFire(), OrvoModule.GetAllGames(),
            OrvoModule.GetEncryptedData("Gr\u00fc\u00dfe", key), OrvoModule.GetDecryptedData(message, key),
            OrvoModule.CanOpenURL("not a url"), OrvoModule.IsVPNEnabled(), OrvoModule.GetStoreCode(),
        };
        foreach (object result in results) Console.WriteLine(Json(result));
        return 0;
    }
}
