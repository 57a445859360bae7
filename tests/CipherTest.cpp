// The payload cipher against a real peer: RSA key pairs made here with OpenSSL, whose private
// half reads what the module encrypted and makes the blocks the module decrypts; OpenSSL's
// command line and Python's cryptography act as outside peers through the loaded library.
#include <OrvoModule/OrvoModule.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "DataManager.h"
#include "platform/Rsa.h"
#include "support/TestSupport.h"

namespace orvo {
namespace {

namespace stdfs = std::filesystem;

struct KeyRelease {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextRelease {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct BioRelease {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct BufferRelease {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyRelease>;
using Context = std::unique_ptr<EVP_PKEY_CTX, ContextRelease>;
using Bio = std::unique_ptr<BIO, BioRelease>;

std::optional<std::string> take(char* returned) {
  std::unique_ptr<char, decltype(&std::free)> owned(returned, &std::free);
  if (!owned) return std::nullopt;
  return std::string(owned.get());
}

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// OpenSSL's own base64, so that the module's is not checked against itself.
std::string encode64(const Bytes& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                      data.data(), static_cast<int>(data.size()))));
  return out;
}
Bytes decode64(const std::string& encoded) {
  Bytes out(encoded.size());
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(encoded.data()),
                                static_cast<int>(encoded.size()));
  if (n < 0) return {};
  out.resize(static_cast<std::size_t>(n) - std::count(encoded.end() - 2, encoded.end(), '='));
  return out;
}

std::string pem(std::string_view label, const Bytes& der) {
  const Bio bio(BIO_new(BIO_s_mem()));
  PEM_write_bio(bio.get(), std::string(label).c_str(), "", der.data(),
                static_cast<long>(der.size()));
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string replaceAll(std::string s, std::string_view from, std::string_view to) {
  for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) {
    s.replace(at, from.size(), to);
  }
  return s;
}

// The peer: an RSA key pair, and what the holder of the private key does with it.
class Peer {
 public:
  explicit Peer(unsigned bits) : key_(EVP_RSA_gen(bits)) {
    if (!key_) throw std::runtime_error("key generation failed");
  }
  std::size_t k() const { return static_cast<std::size_t>(EVP_PKEY_get_size(key_.get())); }

  Bytes spkiDer() const { return der(i2d_PUBKEY(key_.get(), nullptr), &i2d_PUBKEY); }
  Bytes pkcs1Der() const { return der(i2d_PublicKey(key_.get(), nullptr), &i2d_PublicKey); }
  Bytes modulus() const {
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(key_.get(), "n", &n);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
    BN_free(n);
    return out;
  }
  std::string publicPem() const { return pem("PUBLIC KEY", spkiDer()); }

  std::optional<Bytes> decryptOaepSha1(const Bytes& ciphertext) const {
    const Context context(EVP_PKEY_CTX_new(key_.get(), nullptr));
    std::size_t length = k();
    Bytes plain(length);
    if (EVP_PKEY_decrypt_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), EVP_sha1()) <= 0 ||
        EVP_PKEY_decrypt(context.get(), plain.data(), &length, ciphertext.data(),
                         ciphertext.size()) <= 0) {
      return std::nullopt;
    }
    plain.resize(length);
    return plain;
  }

  // The raw private-key operation on a number of exactly k bytes, below the modulus.
  Bytes rawPrivate(const Bytes& number) const {
    const Context context(EVP_PKEY_CTX_new(key_.get(), nullptr));
    std::size_t length = k();
    Bytes out(length);
    if (number.size() != k() || EVP_PKEY_decrypt_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_NO_PADDING) <= 0 ||
        EVP_PKEY_decrypt(context.get(), out.data(), &length, number.data(), number.size()) <= 0) {
      throw std::runtime_error("raw private-key operation failed");
    }
    return out;
  }

  // A PKCS #1 v1.5 type-1 block of the chunk: 00 01 FF... 00 chunk.
  Bytes type1(const Bytes& chunk) const {
    Bytes block(k() - chunk.size(), 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block.back() = 0x00;
    return block + chunk;
  }

  // The message the peer sends: each chunk as a type-1 block through its private key.
  std::string message(std::initializer_list<std::string_view> chunks) const {
    Bytes ciphertext;
    for (const std::string_view chunk : chunks)
      ciphertext = ciphertext + rawPrivate(type1(bytes(chunk)));
    return encode64(ciphertext);
  }

 private:
  template <typename Writer>
  Bytes der(int length, Writer write) const {
    Bytes out(static_cast<std::size_t>(std::max(length, 0)));
    unsigned char* cursor = out.data();
    write(key_.get(), &cursor);
    return out;
  }
  Key key_;
};

// Key generation is slow, 4096 bits above all: each size is made once per process.
const Peer& peer(unsigned bits) {
  static std::map<unsigned, std::unique_ptr<Peer>> peers;
  std::unique_ptr<Peer>& slot = peers[bits];
  if (!slot) slot = std::make_unique<Peer>(bits);
  return *slot;
}

std::optional<std::string> encrypt(const std::string& plain, const std::string& key) {
  return take(GetEncryptedData(plain.c_str(), key.c_str()));
}
std::optional<std::string> decrypt(const std::string& encoded, const std::string& key) {
  return take(GetDecryptedData(encoded.c_str(), key.c_str()));
}

// DER of the few elements a public key is made of.
Bytes element(std::uint8_t tag, const Bytes& contents) {
  Bytes length;
  for (std::size_t n = contents.size(); n != 0; n >>= 8) {
    length.insert(length.begin(), static_cast<std::uint8_t>(n));
  }
  const std::uint8_t first = contents.size() < 0x80
                                 ? static_cast<std::uint8_t>(contents.size())
                                 : static_cast<std::uint8_t>(0x80 | length.size());
  return Bytes{tag, first} + (contents.size() < 0x80 ? Bytes() : length) + contents;
}
Bytes rsaKey(const Bytes& n, const Bytes& e) {
  return element(0x30, element(0x02, n) + element(0x02, e));
}
const Bytes kRsaEncryptionOid =
    element(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01});
const Bytes kRsaPssOid = element(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0A});
Bytes spki(const Bytes& algorithm, const Bytes& key) {
  return element(0x30, element(0x30, algorithm) + element(0x03, Bytes{0} + key));
}
const Bytes kF4 = {0x01, 0x00, 0x01};

std::string bodyOf(const std::string& pemText) {
  std::string body = replaceAll(pemText, "-----BEGIN PUBLIC KEY-----", "");
  return replaceAll(body, "-----END PUBLIC KEY-----", "");
}

Bytes ecKeyDer() {
  const Key key(EVP_EC_gen("P-256"));
  Bytes out(static_cast<std::size_t>(i2d_PUBKEY(key.get(), nullptr)));
  unsigned char* cursor = out.data();
  i2d_PUBKEY(key.get(), &cursor);
  return out;
}

// ---- Key import ----

struct KeyTextCase {
  const char* name;
  std::string (*make)(const Peer&);
  bool imports;
  // The line logged, if any; one that ends in ": " stands for that line with any reason text.
  std::optional<std::string> logged;
};

class KeyImport : public ::testing::TestWithParam<KeyTextCase> {};

TEST_P(KeyImport, AcceptsThePeersFormsAndRefusesTheRest) {
  const Peer& p = peer(2048);
  const std::string keyText = GetParam().make(p);
  testing::LogCapture log;
  const std::unique_ptr<PublicKey> key = DataManager::getSecKeyWithKey(keyText);
  const std::vector<std::string> lines = log.lines();
  if (GetParam().imports) {
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->blockSize(), 256u);
    // The very key of the peer: its private half reads what the imported one encrypted.
    const std::optional<Bytes> sealed = DataManager::m_getEncryptedData(bytes("hello"), keyText);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(p.decryptOaepSha1(*sealed), bytes("hello"));
  } else {
    EXPECT_EQ(key, nullptr);
  }
  if (!GetParam().logged) {
    EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
    return;
  }
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  const std::string& expected = *GetParam().logged;
  if (expected.ends_with(": ")) {
    EXPECT_TRUE(lines[0].starts_with(expected) && lines[0].size() > expected.size()) << lines[0];
  } else {
    EXPECT_EQ(lines[0], expected);
  }
}

std::string wrapped(std::string body, std::size_t width, std::string_view eol) {
  for (std::size_t at = width; at < body.size(); at += width + eol.size()) body.insert(at, eol);
  return body;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyImport,
    ::testing::Values(
        KeyTextCase{"PemLf", [](const Peer& p) { return p.publicPem(); }, true, std::nullopt},
        KeyTextCase{"PemCrLf",
                    [](const Peer& p) { return replaceAll(p.publicPem(), "\n", "\r\n"); }, true,
                    std::nullopt},
        KeyTextCase{"PemCr", [](const Peer& p) { return replaceAll(p.publicPem(), "\n", "\r"); },
                    true, std::nullopt},
        KeyTextCase{"BareBodyOneLine", [](const Peer& p) { return encode64(p.spkiDer()); }, true,
                    std::nullopt},
        KeyTextCase{"BareBodyInLines",
                    [](const Peer& p) { return wrapped(encode64(p.spkiDer()), 76, "\r\n"); }, true,
                    std::nullopt},
        KeyTextCase{"MarkersOnOneLine",
                    [](const Peer& p) {
                      return "-----BEGIN PUBLIC KEY-----" + encode64(p.spkiDer()) +
                             "-----END PUBLIC KEY-----";
                    },
                    true, std::nullopt},
        KeyTextCase{"Pkcs1UnderPublicKeyLabel",
                    [](const Peer& p) { return pem("PUBLIC KEY", p.pkcs1Der()); }, true,
                    std::nullopt},
        KeyTextCase{
            "AlgorithmWithoutParameters",
            [](const Peer& p) { return pem("PUBLIC KEY", spki(kRsaEncryptionOid, p.pkcs1Der())); },
            true, std::nullopt},
        KeyTextCase{"RsaPublicKeyLabel",
                    [](const Peer& p) { return pem("RSA PUBLIC KEY", p.pkcs1Der()); }, false,
                    std::nullopt},
        KeyTextCase{"BlankInBody", [](const Peer& p) { return p.publicPem().insert(40, " "); },
                    false, std::nullopt},
        KeyTextCase{"TabInBody", [](const Peer& p) { return p.publicPem().insert(40, "\t"); },
                    false, std::nullopt},
        // One pass of each removal: a marker that a removal brings together stays.
        KeyTextCase{"MarkerInsideMarker",
                    [](const Peer& p) {
                      return "-----BEGIN PUBLIC -----BEGIN PUBLIC KEY-----KEY-----" +
                             bodyOf(p.publicPem());
                    },
                    false, std::nullopt},
        KeyTextCase{"Empty", [](const Peer&) { return std::string(); }, false,
                    "Error creating key: too small"},
        KeyTextCase{"NotDer", [](const Peer&) { return encode64(bytes("hello world")); }, false,
                    "Error creating key: wrong tag"},
        KeyTextCase{"Truncated",
                    [](const Peer& p) {
                      Bytes der = p.spkiDer();
                      der.pop_back();
                      return pem("PUBLIC KEY", der);
                    },
                    false, "Error creating key: too long"},
        KeyTextCase{"TrailingByte",
                    [](const Peer& p) { return pem("PUBLIC KEY", p.spkiDer() + Bytes{0}); }, false,
                    "Error creating key: too long"},
        KeyTextCase{"Pkcs1TrailingByte",
                    [](const Peer& p) { return pem("PUBLIC KEY", p.pkcs1Der() + Bytes{0}); }, false,
                    "Error creating key: too long"},
        KeyTextCase{"IndefiniteLength",
                    [](const Peer& p) {
                      Bytes der = p.spkiDer();
                      der.erase(der.begin() + 1, der.begin() + 4);
                      der.insert(der.begin() + 1, 0x80);
                      return pem("PUBLIC KEY", der + Bytes{0, 0});
                    },
                    false, "Error creating key: bad object header"},
        KeyTextCase{"NonMinimalLength",
                    [](const Peer& p) {
                      Bytes der = p.spkiDer();  // 30 82 01 22 ...
                      der[1] = 0x83;
                      der.insert(der.begin() + 2, 0x00);
                      return pem("PUBLIC KEY", der);
                    },
                    false, "Error creating key: bad object header"},
        KeyTextCase{"EcKey", [](const Peer&) { return pem("PUBLIC KEY", ecKeyDer()); }, false,
                    "Error creating key: unsupported public key type"},
        KeyTextCase{"RsaPssAlgorithm",
                    [](const Peer& p) { return pem("PUBLIC KEY", spki(kRsaPssOid, p.pkcs1Der())); },
                    false, "Error creating key: unsupported public key type"},
        KeyTextCase{"Pkcs1WithoutExponent",
                    [](const Peer& p) {
                      return pem("PUBLIC KEY", element(0x30, element(0x02, p.modulus())));
                    },
                    false, "Error creating key: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KeyImport, RefusesHugeKeyTexts) {
  testing::LogCapture log;
  // Eight megabytes of body: six of zero bytes.
  const std::string zeros =
      "-----BEGIN PUBLIC KEY-----\n" + std::string(8 << 20, 'A') + "\n-----END PUBLIC KEY-----\n";
  EXPECT_EQ(DataManager::getSecKeyWithKey(zeros), nullptr);
  // A header that claims four gigabytes.
  EXPECT_EQ(
      DataManager::getSecKeyWithKey(encode64({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x30, 0x00})),
      nullptr);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Error creating key: wrong tag",
                                                   "Error creating key: too long"}));
}

// Keys no RSA arithmetic can use, whether or not they parse: every operation gives nothing,
// and no error of the library is left behind on the caller's thread.
TEST(KeyImport, HostileKeysGiveNoDataEitherWay) {
  Bytes evenModulus = peer(2048).modulus();
  evenModulus.back() &= 0xFE;
  const Bytes maxModulus(512, 0xFF);  // odd, 4096 bits
  Bytes hugeExponent(500, 0xFF);
  hugeExponent[0] = 0x7F;
  const struct {
    const char* name;
    Bytes der;
  } cases[] = {
      {"zero modulus", rsaKey({0x00}, kF4)},
      {"even modulus", rsaKey(Bytes{0} + evenModulus, kF4)},
      {"modulus over 16384 bits", rsaKey(Bytes(2500, 0xFF), kF4)},
      {"exponent of 4000 bits", rsaKey(Bytes{0} + maxModulus, hugeExponent)},
  };
  const std::string block = peer(2048).message({"hi"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string keyText = pem("PUBLIC KEY", c.der);
    testing::LogCapture log;
    EXPECT_EQ(encrypt("hi", keyText), std::nullopt);
    EXPECT_EQ(decrypt(block, keyText), std::nullopt);
    EXPECT_EQ(decrypt("AQ==", keyText), std::nullopt);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

// ---- Both directions at each key size ----

class PeerExchange : public ::testing::TestWithParam<unsigned> {};

TEST_P(PeerExchange, OneOaepBlockOutUpToItsLimitAndTheTwoBlockSentenceBack) {
  const Peer& p = peer(GetParam());
  const std::string key = p.publicPem();
  const std::size_t k = p.k();
  // Two-byte characters and one ASCII letter where k - 42 is odd.
  std::string longest;
  while (longest.size() + 2 <= k - 42) longest += "\xC3\xA9";
  if (longest.size() < k - 42) longest += "x";

  const std::optional<std::string> sealed = encrypt(longest, key);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->size(), 4 * ((k + 2) / 3));
  EXPECT_EQ(sealed->find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(p.decryptOaepSha1(decode64(*sealed)), bytes(longest));
  EXPECT_EQ(encrypt(longest + "y", key), std::nullopt);

  const std::optional<std::string> empty = encrypt("", key);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), sealed->size());
  EXPECT_EQ(p.decryptOaepSha1(decode64(*empty)), Bytes());

  EXPECT_EQ(decrypt(p.message({"The quick brown fox ", "jumps over the lazy dog."}), key),
            "The quick brown fox jumps over the lazy dog.");
}

INSTANTIATE_TEST_SUITE_P(KeySizes, PeerExchange, ::testing::Values(1024u, 2048u, 4096u));

// ---- Encryption ----

TEST(Encryption, EmptyTextIs344CharactersAndNoTwoCiphertextsAreAlike) {
  const std::string key = peer(2048).publicPem();
  const std::optional<std::string> first = encrypt("", key);
  const std::optional<std::string> second = encrypt("", key);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 344u);
  EXPECT_EQ(second->size(), 344u);
  EXPECT_NE(*first, *second);
}

TEST(Encryption, TextReachesThePeerByteForByte) {
  const std::string plain = "Grüße, 世界 🌍 \x01\x7F";
  const std::optional<std::string> sealed = encrypt(plain, peer(2048).publicPem());
  ASSERT_TRUE(sealed);
  EXPECT_EQ(peer(2048).decryptOaepSha1(decode64(*sealed)), bytes(plain));
}

// ---- Decryption ----

TEST(Decryption, LineBrokenBase64ReadsAsOneLine) {
  const Peer& p = peer(2048);
  const std::string oneLine = p.message({"first half, ", "second half"});
  for (const auto& [width, eol] :
       {std::pair<std::size_t, std::string_view>{64, "\n"}, {76, "\r\n"}, {64, "\r\n"}}) {
    EXPECT_EQ(decrypt(wrapped(oneLine, width, eol), p.publicPem()), "first half, second half");
  }
}

TEST(Decryption, JoinsChunksBeforeReadingUtf8) {
  const Peer& p = peer(2048);
  // "ü" is C3 BC: its bytes land in two blocks.
  EXPECT_EQ(decrypt(p.message({"Gr\xC3", "\xBC\xC3\x9F\x65"}), p.publicPem()), "Grüße");
  EXPECT_EQ(decrypt(p.message({"Gr\xC3"}), p.publicPem()), std::nullopt);
}

TEST(Decryption, ARefusedMiddleBlockGivesNothingAtAll) {
  const Peer& p = peer(2048);
  const Bytes first = p.rawPrivate(p.type1(bytes("one ")));
  const Bytes third = p.rawPrivate(p.type1(bytes("three")));
  const Bytes notBelowModulus(p.k(), 0xFF);
  EXPECT_EQ(decrypt(encode64(first + third), p.publicPem()), "one three");
  EXPECT_EQ(decrypt(encode64(first + notBelowModulus + third), p.publicPem()), std::nullopt);
}

TEST(Decryption, PeerBlocksFollowTheZeroByteRule) {
  const Peer& p = peer(2048);
  const std::size_t k = p.k();
  const struct {
    const char* name;
    Bytes number;
    std::string expected;
  } cases[] = {
      // The leading zero byte is not reported, so the first zero seen is the one after the FFs.
      {"type 1: what follows the FF run", p.type1(bytes("chunk")), "chunk"},
      {"no zero byte: everything", Bytes{0x00, 0x01} + Bytes(k - 2, 'A'),
       "\x01" + std::string(k - 2, 'A')},
      {"only zero byte last: nothing", Bytes{0x00, 0x01} + Bytes(k - 3, 0xFF) + Bytes{0x00}, ""},
      {"second zero byte cuts",
       Bytes{0x00, 0x01} + Bytes(k - 13, 0xFF) + bytes(std::string_view("\0chunk\0rest", 11)),
       "chunk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.number.size(), k);
    EXPECT_EQ(decrypt(encode64(p.rawPrivate(c.number)), p.publicPem()), c.expected);
  }
}

TEST(Decryption, RemovePaddingCutsBetweenTheFirstTwoZeroBytes) {
  const struct {
    Bytes block;
    Bytes chunk;
  } cases[] = {
      {{}, {}},
      {{'a', 'b'}, {'a', 'b'}},
      {{0, 'a', 'b'}, {'a', 'b'}},
      {{1, 0xFF, 0, 'a'}, {'a'}},
      {{1, 0xFF, 0xFF, 0}, {}},
      {{1, 0, 'a', 0, 'b', 0, 'c'}, {'a'}},
      {{0, 0, 'a'}, {}},
      {{'x', 0}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DataManager::removePaddingFromData(c.block), c.chunk)
        << ::testing::PrintToString(c.block);
  }
}

TEST(Decryption, NoBytesGiveTheEmptyTextOnlyWithAGoodKey) {
  const std::string key = peer(2048).publicPem();
  EXPECT_EQ(decrypt("", key), "");
  EXPECT_EQ(decrypt("\r\n \n", key), "");
  EXPECT_EQ(decrypt("", "not a key"), std::nullopt);
  // Text that does not decode is a failure, not an empty message.
  EXPECT_EQ(decrypt("QUJDRA=", key), std::nullopt);
  EXPECT_EQ(decrypt("QUJDRA", key), std::nullopt);
}

TEST(Decryption, AShortPieceIsTheNumberItSpells) {
  const Peer& p = peer(2048);
  const Bytes hi = p.rawPrivate(p.type1(bytes("Hi")));
  EXPECT_EQ(decrypt(encode64(hi + Bytes{0x01}), p.publicPem()), "Hi\x01");
  EXPECT_EQ(decrypt(encode64(hi + Bytes{0x00}), p.publicPem()), "Hi");
  EXPECT_EQ(decrypt("AQ==", p.publicPem()), "\x01");
  EXPECT_EQ(decrypt("AA==", p.publicPem()), "");
  // A block of the peer whose first byte happens to be zero, sent without it.
  for (int i = 0;; ++i) {
    const std::string chunk = "chunk " + std::to_string(i);
    const Bytes block = p.rawPrivate(p.type1(bytes(chunk)));
    if (block[0] != 0) continue;
    EXPECT_EQ(decrypt(encode64(Bytes(block.begin() + 1, block.end())), p.publicPem()), chunk);
    break;
  }
}

TEST(Decryption, MegabytesOfCiphertextAreReadOrRefusedWhole) {
  const std::string key = peer(2048).publicPem();
  // 3 MiB of zero bytes: 12288 blocks of the number 0, each contributing nothing.
  EXPECT_EQ(decrypt(std::string(4 << 20, 'A'), key), "");
  // Blocks of FF bytes are not below the modulus.
  EXPECT_EQ(decrypt(std::string(4 << 20, '/'), key), std::nullopt);
}

TEST(BadArguments, GiveNullAndNoCrash) {
  const std::string key = peer(2048).publicPem();
  const std::string message = peer(2048).message({"hi"});
  const char* invalidUtf8 = "\xC3\x28";
  EXPECT_EQ(GetEncryptedData(nullptr, key.c_str()), nullptr);
  EXPECT_EQ(GetEncryptedData("hi", nullptr), nullptr);
  EXPECT_EQ(GetEncryptedData(nullptr, nullptr), nullptr);
  // Not an empty payload in its place: that would pass for a successful encryption.
  EXPECT_EQ(GetEncryptedData(invalidUtf8, key.c_str()), nullptr);
  EXPECT_EQ(GetEncryptedData("hi", (key + invalidUtf8).c_str()), nullptr);
  EXPECT_EQ(GetDecryptedData(nullptr, key.c_str()), nullptr);
  EXPECT_EQ(GetDecryptedData(message.c_str(), nullptr), nullptr);
  EXPECT_EQ(GetDecryptedData((message + invalidUtf8).c_str(), key.c_str()), nullptr);
  EXPECT_EQ(GetDecryptedData(message.c_str(), (key + invalidUtf8).c_str()), nullptr);
  // The same calls with sound arguments do give text.
  EXPECT_EQ(decrypt(message, key), "hi");
  EXPECT_TRUE(encrypt("hi", key));
}

// ---- Outside peers, through the loaded library as a host calls it ----

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/orvo-cipher-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    stdfs::remove_all(path_, ec);
  }
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }
  void write(std::string_view name, const Bytes& content) const {
    std::ofstream(path_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
  }

 private:
  stdfs::path path_;
};

class LoadedModule {
 public:
  LoadedModule() : handle_(::dlopen(ORVO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~LoadedModule() {
    if (handle_) ::dlclose(handle_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  std::optional<std::string> call(const char* entry, const std::string& a,
                                  const std::string& b) const {
    using Entry = char* (*)(const char*, const char*);
    void* symbol = handle_ ? ::dlsym(handle_, entry) : nullptr;
    if (symbol == nullptr) throw std::runtime_error(std::string("no entry point ") + entry);
    return take(reinterpret_cast<Entry>(symbol)(a.c_str(), b.c_str()));
  }

 private:
  void* handle_;
};

testing::CommandResult run(const std::string& command) {
  testing::CommandResult result = testing::runCommand(command + " 2>&1");
  EXPECT_EQ(result.status, 0) << command << "\n" << result.output;
  return result;
}

TEST(OutsidePeers, OpenSslCommandLineReadsAndMakesTheMessages) {
  TempDir dir;
  const LoadedModule module;
  run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + (dir / "private.pem"));
  run("openssl pkey -in " + (dir / "private.pem") + " -pubout -out " + (dir / "public.pem"));
  const std::string key = testing::readFile(dir / "public.pem");

  const std::string plain = "Meet at the north gate — noon.";
  const std::optional<std::string> sealed = module.call("GetEncryptedData", plain, key);
  ASSERT_TRUE(sealed);
  dir.write("sealed.bin", decode64(*sealed));
  EXPECT_EQ(run("openssl pkeyutl -decrypt -inkey " + (dir / "private.pem") +
                " -pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha1 -pkeyopt "
                "rsa_mgf1_md:sha1 -in " +
                (dir / "sealed.bin"))
                .output,
            plain);

  // Signing raw bytes with PKCS #1 v1.5 padding is the type-1 block through the private key.
  Bytes message;
  for (const std::string chunk : {"The north gate ", "is closed."}) {
    dir.write("chunk", bytes(chunk));
    run("openssl pkeyutl -sign -inkey " + (dir / "private.pem") +
        " -pkeyopt rsa_padding_mode:pkcs1 -in " + (dir / "chunk") + " -out " + (dir / "block"));
    message = message + bytes(testing::readFile(dir / "block"));
  }
  ASSERT_EQ(message.size(), 512u);
  EXPECT_EQ(module.call("GetDecryptedData", encode64(message), key), "The north gate is closed.");
}

constexpr const char kPythonPeer[] = R"(
import base64, sys
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

command, folder = sys.argv[1], sys.argv[2]
def private():
    with open(folder + "/private.pem", "rb") as f:
        return serialization.load_pem_private_key(f.read(), password=None)
if command == "keygen":
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    with open(folder + "/private.pem", "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    with open(folder + "/spki.pem", "wb") as f:
        f.write(key.public_key().public_bytes(serialization.Encoding.PEM,
                                              serialization.PublicFormat.SubjectPublicKeyInfo))
    pkcs1 = key.public_key().public_bytes(serialization.Encoding.DER, serialization.PublicFormat.PKCS1)
    with open(folder + "/pkcs1.pem", "w") as f:
        f.write("-----BEGIN PUBLIC KEY-----\n" + base64.b64encode(pkcs1).decode() + "\n-----END PUBLIC KEY-----\n")
elif command == "decrypt":
    sealed = base64.b64decode(sys.argv[3], validate=True)
    oaep = padding.OAEP(mgf=padding.MGF1(algorithm=hashes.SHA1()), algorithm=hashes.SHA1(), label=None)
    sys.stdout.write(private().decrypt(sealed, oaep).decode("utf-8"))
elif command == "blocks":
    numbers = private().private_numbers()
    n, d = numbers.public_numbers.n, numbers.d
    k = (n.bit_length() + 7) // 8
    out = b""
    for chunk in sys.argv[3:]:
        data = chunk.encode("utf-8")
        block = b"\x00\x01" + b"\xff" * (k - 3 - len(data)) + b"\x00" + data
        out += pow(int.from_bytes(block, "big"), d, n).to_bytes(k, "big")
    sys.stdout.write(base64.b64encode(out).decode())
)";

TEST(OutsidePeers, PythonCryptographyReadsAndMakesTheMessages) {
  TempDir dir;
  const LoadedModule module;
  std::ofstream(dir / "peer.py") << kPythonPeer;
  const std::string python = std::string(ORVO_PYTHON3) + " " + (dir / "peer.py") + " ";
  run(python + "keygen " + (dir / ""));
  const std::string blocks =
      run(python + "blocks " + (dir / "") + " 'Grüße aus ' 'dem Norden.'").output;
  for (const char* keyFile : {"spki.pem", "pkcs1.pem"}) {
    SCOPED_TRACE(keyFile);
    const std::string key = testing::readFile(dir / keyFile);
    const std::string plain = "Grüße — 🌍";
    const std::optional<std::string> sealed = module.call("GetEncryptedData", plain, key);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(run(python + "decrypt " + (dir / "") + " " + *sealed).output, plain);
    EXPECT_EQ(module.call("GetDecryptedData", blocks, key), "Grüße aus dem Norden.");
  }
}

}  // namespace
}  // namespace orvo
