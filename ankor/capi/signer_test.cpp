#include "ankor/capi/signer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ankor/capi/test_support.h"
#include "common/testing/base64.h"

namespace ankor::capi {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
using nlohmann::json;

const std::string kThumbprint = "00112233445566778899aabbccddeeff01234567";
const std::u16string kAes = u"Microsoft Enhanced RSA and AES Cryptographic Provider";

KeyProvInfo record(std::u16string provider, std::uint32_t type, std::uint32_t flags = 0) {
  return KeyProvInfo{u"c1", std::move(provider), type, flags, 1};
}

const auto b64 = tarvo::testing::base64;

struct Fixture : ::testing::Test {
  FakePlatform platform;
  CapiSigner signer{platform};
  void SetUp() override { platform.storedRecord = record(kAes, 24); }
  void TearDown() override { EXPECT_EQ(platform.openHandles, 0) << "a handle was not released"; }
};

using Sign = Fixture;

// Data is hashed in one call; the signature comes back most significant byte first.
TEST_F(Sign, HashesDataAndReversesTheSignature) {
  EXPECT_EQ(signer.sign(kThumbprint, "sha256", b64("hello"), false),
            base64Encode(Bytes{3, 2, 1}));
  EXPECT_EQ(platform.foundThumbprint, hexDecode(kThumbprint));
  ASSERT_EQ(platform.hashedData.size(), 1u);
  EXPECT_EQ(std::string(platform.hashedData[0].begin(), platform.hashedData[0].end()), "hello");
  EXPECT_THAT(platform.signKeySpecs, ElementsAre(1u, 1u));
  EXPECT_EQ(platform.acquires.size(), 1u);
}

// "sha1" and "sha512" exactly; every other word is SHA-256.
TEST_F(Sign, AlgorithmWords) {
  const struct {
    const char* word;
    std::uint32_t algorithm;
  } cases[] = {
      {"sha1", win::kAlgSha1},      {"sha512", win::kAlgSha512}, {"sha256", win::kAlgSha256},
      {"SHA1", win::kAlgSha256},   {"SHA256", win::kAlgSha256}, {"sha-256", win::kAlgSha256},
      {"md5", win::kAlgSha256},    {"", win::kAlgSha256},
  };
  for (const auto& c : cases) {
    FakePlatform p;
    p.storedRecord = record(kAes, 24);
    CapiSigner s(p);
    (void)s.sign(kThumbprint, c.word, b64("x"), false);
    EXPECT_THAT(p.hashAlgorithms, ElementsAre(c.algorithm)) << c.word;
  }
}

// A finished digest is set as the hash value, unchanged and never hashed again.
TEST_F(Sign, FinishedDigestIsSetAsHashValue) {
  const Bytes digest(32, 0x5A);
  EXPECT_EQ(signer.sign(kThumbprint, "sha256", base64Encode(digest), true),
            base64Encode(Bytes{3, 2, 1}));
  EXPECT_THAT(platform.hashValues, ElementsAre(digest));
  EXPECT_TRUE(platform.hashedData.empty());
}

// A digest of the wrong length is refused before any platform call: the platform reads
// the hash value without a length.
TEST_F(Sign, DigestLengthMustMatchTheAlgorithm) {
  const struct {
    const char* word;
    std::size_t size;
    const char* message;
  } cases[] = {
      {"sha256", 20, "Err digest length - expected 32 bytes, got 20"},
      {"sha1", 32, "Err digest length - expected 20 bytes, got 32"},
      {"sha512", 0, "Err digest length - expected 64 bytes, got 0"},
      {"other", 64, "Err digest length - expected 32 bytes, got 64"},
  };
  for (const auto& c : cases) {
    FakePlatform p;
    p.storedRecord = record(kAes, 24);
    CapiSigner s(p);
    EXPECT_THAT([&] { s.sign(kThumbprint, c.word, base64Encode(Bytes(c.size, 1)), true); },
                ThrowsMessage<std::runtime_error>(c.message));
    EXPECT_TRUE(p.calls.empty()) << c.word;
  }
}

// Smart-card providers are opened by the record's name and type; others through the
// AES provider with type 24; the record's flags go along either way.
TEST_F(Sign, ProviderChoiceFromTheRecord) {
  const struct {
    std::u16string provider;
    std::uint32_t type;
    std::string opened;
    std::uint32_t openedType;
  } cases[] = {
      {u"Microsoft Base Cryptographic Provider v1.0", 1,
       "Microsoft Enhanced RSA and AES Cryptographic Provider", 24},
      {u"eToken Base Cryptographic Provider", 1, "eToken Base Cryptographic Provider", 1},
      {u"Athena ASECard Crypto CSP v3", 1, "Microsoft Base Smart Card Crypto Provider", 1},
  };
  for (const auto& c : cases) {
    FakePlatform p;
    p.storedRecord = record(c.provider, c.type, 0x40);
    CapiSigner s(p);
    (void)s.sign(kThumbprint, "sha1", b64("x"), false);
    ASSERT_EQ(p.acquires.size(), 1u);
    EXPECT_EQ(p.acquires[0].provider, c.opened);
    EXPECT_EQ(p.acquires[0].type, c.openedType);
    EXPECT_EQ(p.acquires[0].container, "c1");
    EXPECT_EQ(p.acquires[0].flags, 0x40u);
  }
}

TEST_F(Sign, FailureMessages) {
  const std::string badKeyset = "Err 2148073494";
  // The input: the provider of the certificate's key record.
  const FailureCase<std::u16string> cases[] = {
      {"openCurrentUserStore", 1, 5, kAes, "Err CertOpenStore"},
      {"findCertificateBySha1", 1, win::kNotFound, kAes, "Err CertFindCertificateInStore"},
      {"getKeyProvInfo", 1, win::kNotFound, kAes, "Err CertGetCertificateContextProperty"},
      {"getKeyProvInfo", 2, win::kErrorMoreData, kAes, "The property was not retrieved."},
      {"acquireContext", 1, win::kBadKeySet, u"SafeSign Standard Cryptographic Service Provider",
       "Err CryptAcquireContext1 - conjunto de chave nao encontrada = " + badKeyset},
      {"acquireContext", 1, win::kBadKeySet, kAes,
       "Err CryptAcquireContext2 - conjunto de chave nao encontrada = " + badKeyset},
      {"acquireContext", 1, 5, u"Tarvo Cryptographic Provider", "Err CryptAcquireContext1 Err 5"},
      {"acquireContext", 1, win::kKeySetNotDefined, kAes,
       "Err CryptAcquireContext2 Erro ao obter chave privada."},
      {"createHash", 1, win::kBadAlgId, kAes, "(CryptCreateHash SHA256) Err 2148073480"},
      {"hashData", 1, win::kBadHashState, kAes, "Err CryptHashData"},
      {"signHash", 1, win::kNoKey, kAes, "Err CryptSignHash A chave n\xC3\xA3o existe"},
      {"signHash", 2, win::kErrorMoreData, kAes, "Err CryptSignHash Err 234"},
  };
  expectFailures(
      cases, Reported::Thrown,
      [](FakePlatform& p, const std::u16string& provider) { p.storedRecord = record(provider, 1); },
      [](FakePlatform& p, const std::u16string&) {
        return CapiSigner(p).sign(kThumbprint, "sha256", b64("x"), false);
      });
}

TEST_F(Sign, CreateHashAndSetHashParamMessages) {
  const struct {
    const char* word;
    const char* message;
  } cases[] = {
      {"sha1", "(CryptCreateHash SHA1) Err 5"},
      {"sha512", "(CryptCreateHash SHA512) Err 5"},
      {"SHA-1", "(CryptCreateHash SHA256) Err 5"},
  };
  for (const auto& c : cases) {
    FakePlatform p;
    p.storedRecord = record(kAes, 24);
    p.failOn("createHash", 5);
    CapiSigner s(p);
    EXPECT_THAT([&] { s.sign(kThumbprint, c.word, b64("x"), false); },
                ThrowsMessage<std::runtime_error>(c.message));
  }
  platform.failOn("setHashParam", win::kBadHash);
  EXPECT_THAT([&] { signer.sign(kThumbprint, "sha1", base64Encode(Bytes(20, 1)), true); },
              ThrowsMessage<std::runtime_error>("Err CryptSetHashParam"));
}

// A record that is missing: the size call reports it.
TEST_F(Sign, CertificateWithoutKeyRecord) {
  platform.storedRecord.reset();
  EXPECT_THAT([&] { signer.sign(kThumbprint, "sha256", b64("x"), false); },
              ThrowsMessage<std::runtime_error>("Err CertGetCertificateContextProperty"));
}

// ---- signList ----------------------------------------------------------------------------

using SignList = Fixture;

TEST_F(SignList, OneContextOneHashPerItem) {
  const json document = json::parse(R"([
      {"value":")" + b64("a") + R"(","hashedData":false,"id":7},
      {"value":")" + base64Encode(Bytes(32, 9)) + R"(","hashedData":true,"id":{"k":"v"}},
      {"value":")" + b64("c") + R"(","hashedData":false}])");
  const std::string signature = base64Encode(Bytes{3, 2, 1});
  EXPECT_EQ(signer.signList(kThumbprint, "sha256", document),
            R"([{"data":")" + b64("a") + R"(","id":7,"signed":")" + signature + R"("},)" +
                R"({"data":")" + base64Encode(Bytes(32, 9)) + R"(","id":{"k":"v"},"signed":")" +
                signature + R"("},)" + R"({"data":")" + b64("c") + R"(","id":null,"signed":")" +
                signature + R"("}])");
  EXPECT_EQ(platform.acquires.size(), 1u);
  EXPECT_EQ(platform.count("createHash"), 3);
  EXPECT_EQ(platform.count("destroyHash"), 3);
  EXPECT_THAT(platform.hashValues, ElementsAre(Bytes(32, 9)));
}

// Arrays give elements, objects their values in key order, null no item.
TEST_F(SignList, DocumentShapes) {
  const std::string item = R"({"value":")" + b64("x") + R"(","hashedData":false,"id":)";
  EXPECT_EQ(signer.signList(kThumbprint, "sha1", json::array()), "[]");
  EXPECT_EQ(signer.signList(kThumbprint, "sha1", json()), "[]");
  const std::string out = signer.signList(
      kThumbprint, "sha1", json::parse(R"({"z":)" + item + R"("z"},"a":)" + item + R"("a"}})"));
  EXPECT_LT(out.find(R"("id":"a")"), out.find(R"("id":"z")"));
}

// The JSON library's own type errors end the whole list; no partial result.
TEST_F(SignList, LibraryTypeErrors) {
  const struct {
    std::string document;
    std::string message;
  } cases[] = {
      {R"([{"value":"eA==","hashedData":"yes"}])", "type must be boolean, but is string"},
      {R"([{"hashedData":false}])", "type must be string, but is null"},
      {R"([{"value":5,"hashedData":false}])", "type must be string, but is number"},
      {R"(["eA=="])", "cannot use operator[] with a string argument with string"},
      {R"({"value":"eA==","hashedData":false})", "cannot use operator[] with a string argument"},
  };
  for (const auto& c : cases) {
    FakePlatform p;
    p.storedRecord = record(kAes, 24);
    CapiSigner s(p);
    EXPECT_THAT([&] { s.signList(kThumbprint, "sha1", json::parse(c.document)); },
                ThrowsMessage<std::runtime_error>(HasSubstr(c.message)))
        << c.document;
    EXPECT_EQ(p.openHandles, 0);
  }
}

TEST_F(SignList, FailureOnALaterItemDropsTheList) {
  platform.failOn("signHash", win::kNoKey, 3);  // the second item's size call
  const json document = json::parse(R"([{"value":"eA==","hashedData":false},
                                        {"value":"eQ==","hashedData":false}])");
  EXPECT_THAT([&] { signer.signList(kThumbprint, "sha1", document); },
              ThrowsMessage<std::runtime_error>("Err CryptSignHash A chave n\xC3\xA3o existe"));
  const json shortDigest = json::parse(R"([{"value":"eA==","hashedData":true}])");
  EXPECT_THAT([&] { signer.signList(kThumbprint, "sha1", shortDigest); },
              ThrowsMessage<std::runtime_error>("Err digest length - expected 20 bytes, got 1"));
}

}  // namespace
}  // namespace ankor::capi
