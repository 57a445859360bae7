// The payload cipher and its base64 against real peers: RSA key pairs made here with OpenSSL,
// whose private half reads what the module encrypted and makes the blocks it decrypts; Python
// acts as an outside peer.
#include <OrvoModule/OrvoModule.h>
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>

#include "DataManager.h"
#include "RsaPeer.h"
#include "platform/Base64.h"
#include "platform/Rsa.h"
#include "support/TestSupport.h"

namespace orvo {
namespace {

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

using peer::encode64;

std::string wrapped(std::string text, std::size_t width, std::string_view eol) {
  for (std::size_t at = width; at < text.size(); at += width + eol.size()) text.insert(at, eol);
  return text;
}

std::string pem(const std::string& label, const Bytes& der, const std::string& eol = "\n") {
  return "-----BEGIN " + label + "-----" + eol + wrapped(encode64(der), 64, eol) + eol +
         "-----END " + label + "-----" + eol;
}

// DER of the few elements a public key is made of.
Bytes element(std::uint8_t tag, const Bytes& contents) {
  Bytes length;  // the long form's bytes, big-endian
  for (std::size_t n = contents.size(); n != 0; n >>= 8) {
    length.insert(length.begin(), static_cast<std::uint8_t>(n));
  }
  if (contents.size() < 0x80)
    return Bytes{tag, static_cast<std::uint8_t>(contents.size())} + contents;
  return Bytes{tag, static_cast<std::uint8_t>(0x80 | length.size())} + length + contents;
}
Bytes rsaKey(const Bytes& n, const Bytes& e) {
  return element(0x30, element(0x02, n) + element(0x02, e));
}
// An algorithm identifier without parameters: 1.2.840.113549.1.1.<last>.
Bytes spki(std::uint8_t last, const Bytes& key) {
  const Bytes oid = element(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, last});
  return element(0x30, element(0x30, oid) + element(0x03, Bytes{0} + key));
}

std::optional<std::string> encrypt(const std::string& plain, const std::string& key) {
  return testing::takeText(GetEncryptedData(plain.c_str(), key.c_str()));
}
std::optional<std::string> decrypt(const std::string& encoded, const std::string& key) {
  return testing::takeText(GetDecryptedData(encoded.c_str(), key.c_str()));
}

using Peer = peer::RsaPeer;

// Key generation is slow, 4096 bits above all: each size is made once per process.
const Peer& peer(unsigned bits) {
  static std::map<unsigned, std::unique_ptr<Peer>> peers;
  std::unique_ptr<Peer>& slot = peers[bits];
  if (!slot) slot = std::make_unique<Peer>(bits);
  return *slot;
}

TEST(Base64, EncodesAsOpenSslDoesAndBothDecodersReadIt) {
  std::mt19937 random(7);
  for (Bytes data; data.size() < 300; data.push_back(static_cast<std::uint8_t>(random()))) {
    const std::string encoded = encode64(data);  // padded, on one line
    ASSERT_EQ(base64::encode(data), encoded) << data.size();
    ASSERT_EQ(base64::decodeStrict(encoded), data) << data.size();
    ASSERT_EQ(base64::decodeLenient(encoded), data) << data.size();
  }
}

TEST(Base64, StrictRefusesWhatLenientSkips) {
  // Characters outside the alphabet, in the data or the padding.
  for (const std::string_view text : {"Zm9v\nYg==\n", "Zm9v\r\n Y\tg==", "Zm9vYg=\r\n=",
                                      "-----Zm9vYg==-----", "Zm9v-_\xC3\xA9Yg=="}) {
    EXPECT_EQ(base64::decodeStrict(text), std::nullopt) << text;
    EXPECT_EQ(base64::decodeLenient(text), bytes("foob")) << text;
  }
  EXPECT_EQ(base64::decodeStrict("\r\n \t"), std::nullopt);
  EXPECT_EQ(base64::decodeLenient("\r\n \t"), Bytes());
  // Padding missing, short, long or alone, a lone last symbol, data after the padding.
  for (const std::string_view text :
       {"Zg", "Zg=", "Zm8==", "====", "Zm9vY", "Zg==Zg==", "Zm9=vYm="}) {
    EXPECT_EQ(base64::decodeStrict(text), std::nullopt) << text;
    EXPECT_EQ(base64::decodeLenient(text), std::nullopt) << text;
  }
  EXPECT_EQ(base64::decodeStrict("Zh=="), bytes("f"));  // the bits beyond the last byte
}

TEST(KeyImport, AcceptsThePeersFormsAndRefusesTheRest) {
  const Peer& p = peer(2048);
  const Bytes spkiDer = p.spkiDer(), pkcs1 = p.pkcs1Der();  // 30 82 01 22 ..., 30 82 01 0A ...
  const Bytes inner(spkiDer.begin() + 4, spkiDer.end());    // what follows 30 82 01 22
  const std::string begin = "-----BEGIN PUBLIC KEY-----", end = "-----END PUBLIC KEY-----";
  const std::string body = encode64(spkiDer);
  Bytes noExponent(pkcs1.begin(), pkcs1.end() - 5);  // without the trailing 02 03 01 00 01
  noExponent[3] -= 5;
  constexpr const char* kImports = nullptr;
  const struct {
    const char* name;
    std::string text;
    const char* refusal;  // logged after "Error creating key: ", "*" for any, "" for no line
  } cases[] = {
      {"PEM", p.publicPem(), kImports},
      {"PEM with CRLF", pem("PUBLIC KEY", spkiDer, "\r\n"), kImports},
      {"PEM with CR", pem("PUBLIC KEY", spkiDer, "\r"), kImports},
      {"bare body", body, kImports},
      {"markers on one line", begin + body + end, kImports},
      {"PKCS #1 under this label", pem("PUBLIC KEY", pkcs1), kImports},
      {"algorithm without parameters", pem("PUBLIC KEY", spki(0x01, pkcs1)), kImports},
      {"other label", pem("RSA PUBLIC KEY", pkcs1), ""},
      {"blank in body", p.publicPem().insert(40, " "), ""},
      {"tab in body", p.publicPem().insert(40, "\t"), ""},
      // One pass of each removal: a marker that a removal brings together stays.
      {"marker inside marker", "-----BEGIN PUBLIC " + begin + "KEY-----\n" + body, ""},
      {"empty", "", "too small"},
      {"junk DER", encode64(bytes("hello world")), "wrong tag"},
      {"8 MB of zero bytes", begin + std::string(8 << 20, 'A') + end, "wrong tag"},
      {"header claiming 4 GB", encode64({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x30, 0}), "too long"},
      {"truncated", pem("PUBLIC KEY", Bytes(spkiDer.begin(), spkiDer.end() - 1)), "too long"},
      {"trailing byte", pem("PUBLIC KEY", spkiDer + Bytes{0}), "too long"},
      {"trailing byte in the bit string", pem("PUBLIC KEY", spki(0x01, pkcs1 + Bytes{0})),
       "too long"},
      {"indefinite length", pem("PUBLIC KEY", Bytes{0x30, 0x80} + inner + Bytes{0, 0}),
       "bad object header"},
      {"non-minimal length", pem("PUBLIC KEY", Bytes{0x30, 0x83, 0x00, 0x01, 0x22} + inner),
       "bad object header"},
      {"long form for a short length",
       pem("PUBLIC KEY",
           Bytes{0x30, 0x82, 0x01, 0x23, 0x30, 0x81} + Bytes(inner.begin() + 1, inner.end())),
       "bad object header"},
      // Any other algorithm, even one of the RSA family.
      {"RSASSA-PSS", pem("PUBLIC KEY", spki(0x0A, pkcs1)), "unsupported public key type"},
      {"PKCS #1 without exponent", pem("PUBLIC KEY", noExponent), "*"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::LogCapture log;
    const std::unique_ptr<PublicKey> key = DataManager::getSecKeyWithKey(c.text);
    std::vector<std::string> logged = log.lines();
    EXPECT_EQ(key != nullptr, c.refusal == kImports);
    if (key) {
      EXPECT_EQ(key->blockSize(), 256u);
      // The very key of the peer: its private half reads what the imported one encrypted.
      const std::optional<Bytes> sealed = DataManager::m_getEncryptedData(bytes("hi"), c.text);
      EXPECT_EQ(sealed ? p.privateDecrypt(*sealed, true) : std::nullopt, bytes("hi"));
    }
    const std::string reason = c.refusal ? c.refusal : "";
    if (reason == "*" && logged.size() == 1) logged[0] = logged[0].substr(0, 20) + "*";
    EXPECT_EQ(logged, reason.empty() ? std::vector<std::string>()
                                     : std::vector<std::string>{"Error creating key: " + reason});
  }
}

// Keys no RSA arithmetic can use, whether or not they parse: every call gives null, and no
// error of the library is left behind on the caller's thread.
TEST(KeyImport, UnusableRsaKeysGiveNullAndLeaveNoError) {
  const Bytes f4 = {0x01, 0x00, 0x01};
  Bytes even = peer(2048).pkcs1Der();  // the modulus ends before the exponent's 02 03 01 00 01
  even[even.size() - 6] &= 0xFE;
  Bytes hugeExponent(500, 0xFF);
  hugeExponent[0] = 0x7F;
  const std::string message = peer(2048).message({"hi"});
  testing::LogCapture log;
  const Bytes n = Bytes{0} + Bytes(256, 0xFF);  // odd and positive
  // A zero modulus, an even one, one of over 16384 bits, an exponent of 4000 bits; a negative
  // modulus, and exponents 0, 1, 2, -3 and one equal to the modulus, which OpenSSL would use.
  for (const Bytes& key : {rsaKey({0x00}, f4), even, rsaKey(Bytes(2500, 0xFF), f4),
                           rsaKey(Bytes{0} + Bytes(512, 0xFF), hugeExponent),
                           rsaKey(Bytes{0x80} + Bytes(255, 0xFF), f4), rsaKey(n, {0x00}),
                           rsaKey(n, {0x01}), rsaKey(n, {0x02}), rsaKey(n, {0xFD}), rsaKey(n, n)}) {
    const std::string keyText = pem("PUBLIC KEY", key);
    SCOPED_TRACE(keyText);
    EXPECT_EQ(encrypt("hi", keyText), std::nullopt);
    EXPECT_EQ(decrypt(message, keyText), std::nullopt);
    EXPECT_EQ(decrypt("AQ==", keyText), std::nullopt);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
  const std::vector<std::string> lines = log.lines();
  // Each import of each key is refused and says why, but for the 4000-bit exponent: that key
  // imports, and the library refuses to use it.
  EXPECT_EQ(lines.size(), 27u);
  for (const std::string& line : lines) EXPECT_EQ(line.rfind("Error creating key: ", 0), 0u);
}

class PeerExchange : public ::testing::TestWithParam<unsigned> {};

TEST_P(PeerExchange, OneOaepBlockOutUpToItsLimitAndATwoBlockSentenceBack) {
  const Peer& p = peer(GetParam());
  const std::string key = p.publicPem();
  std::string longest;  // k - 42 bytes: two-byte characters, and one letter where that is odd
  while (longest.size() + 2 <= p.k() - 42) longest += "\xC3\xA9";
  if (longest.size() < p.k() - 42) longest += "x";
  const std::optional<std::string> sealed = encrypt(longest, key), again = encrypt(longest, key);
  ASSERT_TRUE(sealed && again);
  EXPECT_EQ(sealed->size(), GetParam() == 1024 ? 172u : GetParam() == 2048 ? 344u : 684u);
  EXPECT_EQ(sealed->find_first_of("\r\n"), std::string::npos);
  EXPECT_NE(*sealed, *again);
  EXPECT_EQ(p.open(*sealed), bytes(longest));
  EXPECT_EQ(encrypt(longest + "y", key), std::nullopt);
  const std::optional<std::string> empty = encrypt("", key);
  ASSERT_TRUE(empty);
  EXPECT_EQ(p.open(*empty), Bytes());
  EXPECT_EQ(decrypt(p.message({"The quick brown fox ", "jumps over the lazy dog."}), key),
            "The quick brown fox jumps over the lazy dog.");
}

INSTANTIATE_TEST_SUITE_P(KeySizes, PeerExchange, ::testing::Values(1024u, 2048u, 4096u),
                         ::testing::PrintToStringParamName());

TEST(Decryption, PeerMessagesJoinTheirChunksUnderTheZeroByteRule) {
  const Peer& p = peer(2048);
  const std::size_t k = p.k();
  const Bytes one = p.sign(p.type1("one ")), three = p.sign(p.type1("three"));
  std::string chunk;  // a block of the peer whose first byte happens to be zero, sent without it
  Bytes leadingZero;
  for (int i = 0; leadingZero.empty() || leadingZero[0] != 0; ++i) {
    leadingZero = p.sign(p.type1(chunk = "chunk " + std::to_string(i)));
  }
  const struct {
    const char* name;
    std::string text;
    std::optional<std::string> plain;
  } cases[] = {
      {"line-broken", wrapped(p.message({"first half, ", "second half"}), 76, "\r\n"),
       "first half, second half"},
      // "ü" is C3 BC: its bytes land in two blocks.
      {"UTF-8 character split", p.message({"Gr\xC3", "\xBC\xC3\x9F\x65"}), "Grüße"},
      {"UTF-8 character cut off", p.message({"Gr\xC3"}), std::nullopt},
      {"first and third block", encode64(one + three), "one three"},
      {"refused middle block", encode64(one + Bytes(k, 0xFF) + three), std::nullopt},
      // The leading zero byte is not reported, so the first zero seen is the one after the FFs.
      {"type 1: what follows the FF run", p.message({"chunk"}), "chunk"},
      {"no zero byte: everything", encode64(p.sign(Bytes{0, 1} + Bytes(k - 2, 'A'))),
       "\x01" + std::string(k - 2, 'A')},
      {"only zero byte last: nothing",
       encode64(p.sign(Bytes{0, 1} + Bytes(k - 3, 0xFF) + Bytes{0})), ""},
      // Another block follows, as a cut at the very end would not show in the returned C string.
      {"second zero byte cuts",
       encode64(p.sign(Bytes{0, 1} + Bytes(k - 13, 0xFF) + bytes({"\0chunk\0rest", 11})) + three),
       "chunkthree"},
      // A last piece shorter than a block is the number it spells.
      {"short last piece", encode64(one + Bytes{0x01}), "one \x01"},
      {"one byte", "AQ==", "\x01"},
      {"block without its leading zero",
       encode64(Bytes(leadingZero.begin() + 1, leadingZero.end())), chunk},
      {"no bytes", "", ""},
      {"only line breaks and blanks", "\r\n \n", ""},
      // Text that does not decode is a failure, not an empty message.
      {"padding cut short", "QUJDRA=", std::nullopt},
      {"megabytes of zero blocks", std::string(4 << 20, 'A'), ""},
      {"megabytes of blocks not below the modulus", std::string(4 << 20, '/'), std::nullopt},
  };
  const std::string key = p.publicPem();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decrypt(c.text, key), c.plain);
  }
}

// Null pointers are refused with every other bad argument (the games tests' table).
TEST(BadCipherArguments, TextThatIsNotUtf8GivesNullWithAGoodKey) {
  const std::string key = peer(2048).publicPem(), message = peer(2048).message({"hi"});
  const std::string invalidUtf8 = "\xC3\x28";
  EXPECT_EQ(decrypt(message, key), "hi");  // the sound calls, for contrast
  EXPECT_TRUE(encrypt("hi", key));
  // Not an empty payload in its place: that would pass for a successful encryption.
  EXPECT_EQ(encrypt(invalidUtf8, key), std::nullopt);
  EXPECT_EQ(encrypt("hi", key + invalidUtf8), std::nullopt);
  EXPECT_EQ(decrypt(message + invalidUtf8, key), std::nullopt);
  EXPECT_EQ(decrypt(message, key + invalidUtf8), std::nullopt);
  EXPECT_EQ(decrypt("", "not a key"), std::nullopt);
}

}  // namespace
}  // namespace orvo
