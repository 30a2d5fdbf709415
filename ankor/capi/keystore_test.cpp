#include "ankor/capi/keystore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ankor/capi/test_support.h"

namespace ankor::capi {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

const std::string kAes = "Microsoft Enhanced RSA and AES Cryptographic Provider";
const std::string kBase = "Microsoft Base Cryptographic Provider v1.0";
const std::string kCard = "Microsoft Base Smart Card Crypto Provider";
const std::string kAthena = "Athena ASECard Crypto CSP";

// A well-formed PUBLICKEYBLOB header with a 4-byte modulus.
Bytes rsaBlob() {
  return {6, 2, 0, 0, 0x00, 0xA4, 0, 0, 'R', 'S', 'A', '1', 32, 0, 0, 0, 1, 0, 1, 0, 9, 8, 7, 6};
}

struct Fixture : ::testing::Test {
  FakePlatform platform;
  CapiKeyStore store{platform};
  void SetUp() override { platform.publicKeyBlob = rsaBlob(); }
  void TearDown() override { EXPECT_EQ(platform.openHandles, 0) << "a handle was not released"; }
};

// ---- listCSPs -------------------------------------------------------------------

using ListCSPs = Fixture;

TEST_F(ListCSPs, CompactArrayInEnumerationOrder) {
  platform.providers = {{kBase, 1}, {kAes, 24}};
  EXPECT_EQ(store.listCSPs(),
            R"([{"cspname":"Microsoft Base Cryptographic Provider v1.0","csptype":1},)"
            R"({"cspname":"Microsoft Enhanced RSA and AES Cryptographic Provider","csptype":24}])");
}

TEST_F(ListCSPs, NoProviderGivesNull) { EXPECT_EQ(store.listCSPs(), "null"); }

// A failing name call with ERROR_NO_MORE_ITEMS skips that index; any other code fails.
TEST_F(ListCSPs, FailingNameCall) {
  platform.providers = {{"A", 1}, {"B", 24}};
  platform.failOn("enumProviders", win::kErrorNoMoreItems, 2);
  EXPECT_EQ(store.listCSPs(), R"([{"cspname":"B","csptype":24}])");

  FakePlatform other;
  other.providers = {{"A", 1}};
  other.failOn("enumProviders", win::kErrorMoreData, 2);
  CapiKeyStore failing(other);
  EXPECT_THAT([&] { failing.listCSPs(); },
              ThrowsMessage<std::runtime_error>("listCSPs - CryptEnumProviders"));
}

// ---- countContainers / listContainers ---------------------------------------------

using Containers = Fixture;

TEST_F(Containers, CountAndListWithVerifyContext) {
  platform.containers = {"a", "longer-name", "b"};
  EXPECT_EQ(store.countContainers(kAes, 24), "3");
  EXPECT_EQ(store.listContainers(kAes, 24),
            R"([{"name":"a"},{"name":"longer-name"},{"name":"b"}])");
  const auto& acquire = platform.acquires.front();
  EXPECT_EQ(acquire.container, "<null>");
  EXPECT_EQ(acquire.provider, kAes);
  EXPECT_EQ(acquire.type, 24u);
  EXPECT_EQ(acquire.flags, win::kCryptVerifyContext);
}

// Names come in the code page (Latin-1 in the fake) and are listed as UTF-8: one
// name outside ASCII no longer loses the whole listing.
TEST_F(Containers, NamesOfTheCodePageAreListedAsUtf8) {
  platform.containers = {"caf\xE9", "plain"};
  EXPECT_EQ(store.listContainers(kAes, 24),
            "[{\"name\":\"caf\xC3\xA9\"},{\"name\":\"plain\"}]");
  EXPECT_EQ(platform.count("ansiToUtf8"), 2);
  platform.providers = {{"Fournisseur \xE0 carte", 1}, {kAes, 24}};
  EXPECT_EQ(store.listCSPs(),
            "[{\"cspname\":\"Fournisseur \xC3\xA0 carte\",\"csptype\":1},"
            "{\"cspname\":\"Microsoft Enhanced RSA and AES Cryptographic Provider\",\"csptype\":24}]");
}

TEST_F(Containers, NoContainerGivesZeroAndNull) {
  EXPECT_EQ(store.countContainers(kAes, 24), "0");
  EXPECT_EQ(store.listContainers(kAes, 24), "null");
}

// The exact Athena name is replaced, in the call and in messages; a longer name is not.
TEST_F(Containers, AthenaAliasOnEquality) {
  platform.failOn("acquireContext", win::kKeySetNotDefined, 0);
  EXPECT_EQ(store.countContainers(kAthena, 1),
            R"({"error":"countContainers - CryptAcquireContext. providerName: )" + kCard +
                R"( - providerType: 1"})");
  EXPECT_EQ(platform.acquires.back().provider, kCard);
  (void)store.countContainers(kAthena + " 2", 1);
  EXPECT_EQ(platform.acquires.back().provider, kAthena + " 2");
}

// Failures: counted as error text, listed as raised failures with the same message.
TEST_F(Containers, FailureMessages) {
  struct Provider {
    std::string name;
    int type;
  };
  const FailureCase<Provider> cases[] = {
      {"acquireContext", 0, win::kBadProvType, {kAes, 0},
       "countContainers - CryptAcquireContext. providerName: " + kAes + " - providerType: 0"},
      {"getProvParam(FIRST)", 0, win::kErrorAccessDenied, {kBase, -7},
       "countContainers - CryptGetProvParam (CRYPT_FIRST). providerName: " + kBase +
           " - providerType: -7"},
      {"none", 0, 0, {"", 24}, "countContainers - providerName is null"},
  };
  const auto oneContainer = [](FakePlatform& p, const Provider&) { p.containers = {"a"}; };
  expectFailures(cases, Reported::AsErrorText, oneContainer,
                 [](FakePlatform& p, const Provider& provider) {
                   return CapiKeyStore(p).countContainers(provider.name, provider.type);
                 });
  expectFailures(cases, Reported::Thrown, oneContainer,
                 [](FakePlatform& p, const Provider& provider) {
                   return CapiKeyStore(p).listContainers(provider.name, provider.type);
                 });
}

// The first failing CRYPT_NEXT ends the enumeration, whatever its error.
TEST_F(Containers, FailingNextEndsTheEnumeration) {
  platform.containers = {"a", "b", "c"};
  platform.failOn("getProvParam(NEXT)", win::kErrorAccessDenied, 0);
  EXPECT_EQ(store.countContainers(kAes, 24), "1");
  EXPECT_EQ(store.listContainers(kAes, 24), R"([{"name":"a"}])");
}

// A provider that leaves the length at the last name's size must not cut the
// enumeration short at a longer name: the length is given afresh to each call.
TEST_F(Containers, LongerNameAfterShorterIsCounted) {
  platform.containers = {"a", std::string(999, 'x')};
  EXPECT_EQ(store.countContainers(kAes, 24), "2");
}

// ---- createKeyPair -------------------------------------------------------------------

using CreateKeyPair = Fixture;

TEST_F(CreateKeyPair, NewKeyReturnsTheBlobInBase64) {
  EXPECT_EQ(store.createKeyPair(kAes, 2048, "c1", false, true, 24, "Ana", false),
            base64Encode(rsaBlob()));
  const auto& acquire = platform.acquires.front();
  EXPECT_EQ(acquire.container, "c1");
  EXPECT_EQ(acquire.provider, kAes);
  EXPECT_EQ(acquire.flags, win::kCryptNewKeySet);
  EXPECT_THAT(platform.genKeyFlags, ElementsAre(0x08000000u | win::kCryptExportable));
}

// Key length rounded down to a multiple of 1024 in the upper 16 bits.
TEST_F(CreateKeyPair, KeyLengthFlags) {
  const struct {
    int keyLength;
    bool exportable;
    std::uint32_t flags;
  } cases[] = {
      {2048, false, 2048u << 16}, {3000, false, 2048u << 16}, {1536, true, (1024u << 16) | 1},
      {1000, false, 0},           {0, true, 1},                {4096, false, 4096u << 16},
  };
  for (const auto& c : cases) {
    FakePlatform p;
    p.publicKeyBlob = rsaBlob();
    CapiKeyStore s(p);
    (void)s.createKeyPair(kAes, c.keyLength, "c", false, c.exportable, 24, "", false);
    EXPECT_THAT(p.genKeyFlags, ElementsAre(c.flags)) << c.keyLength;
  }
}

// A length whose bits do not fit, or a negative one, is refused with the key step's
// failure before any container is created; 65535 is the largest that fits (63 units).
TEST_F(CreateKeyPair, KeyLengthThatDoesNotFitIsRefused) {
  for (const int keyLength : {65536, 66560, 2147483647, -1, -1024, -2147483647 - 1}) {
    FakePlatform p;
    p.publicKeyBlob = rsaBlob();
    CapiKeyStore s(p);
    EXPECT_EQ(s.createKeyPair(kAes, keyLength, "c", false, true, 24, "", false),
              R"({"error":"createKeyPair - CryptGenKey"})")
        << keyLength;
    EXPECT_TRUE(p.calls.empty()) << keyLength;
  }
  (void)store.createKeyPair(kAes, 65535, "c", false, false, 24, "", false);
  EXPECT_THAT(platform.genKeyFlags, ElementsAre(63u << 26));
}

// An existing key: opened without generating, whatever keyLength says.
TEST_F(CreateKeyPair, UseExistingKeyOpensTheContainer) {
  EXPECT_EQ(store.createKeyPair(kAes, 4096, "c1", true, false, 24, "", false),
            base64Encode(rsaBlob()));
  EXPECT_EQ(store.createKeyPair(kAes, 65536, "c1", true, false, 24, "", false),
            base64Encode(rsaBlob()));
  EXPECT_EQ(platform.acquires.front().flags, 0u);
  EXPECT_EQ(platform.count("getUserKey"), 2);
  EXPECT_TRUE(platform.genKeyFlags.empty());
}

TEST_F(CreateKeyPair, AthenaAliasOnContainment) {
  (void)store.createKeyPair(kAthena + " x", 1024, "c", false, false, 1, "", false);
  EXPECT_EQ(platform.acquires.front().provider, kCard);
}

TEST_F(CreateKeyPair, FailuresBecomeErrorText) {
  // The input: useExistingKey.
  const FailureCase<bool> cases[] = {
      {"acquireContext", 1, win::kKeySetExists, false, "createKeyPair - CryptAcquireContext"},
      {"acquireContext", 1, win::kKeySetExists, true, "createKeyPair - CryptAcquireContext"},
      {"genKey", 1, win::kKeySetExists, false, "createKeyPair - CryptGenKey"},
      {"getUserKey", 1, win::kKeySetExists, true, "createKeyPair - CryptGetUserKey"},
      {"exportKey", 1, win::kKeySetExists, false, "createKeyPair - CryptExportKey"},
      {"exportKey", 2, win::kKeySetExists, true, "createKeyPair - CryptExportKey"},
  };
  expectFailures(
      cases, Reported::AsErrorText, [](FakePlatform& p, bool) { p.publicKeyBlob = rsaBlob(); },
      [](FakePlatform& p, bool useExisting) {
        return CapiKeyStore(p).createKeyPair(kAes, 1024, "c", useExisting, false, 24, "", false);
      });
  EXPECT_EQ(store.createKeyPair("", 1024, "", false, false, 24, "", false),
            R"({"error":"createKeyPair - providerName is null"})");
  EXPECT_EQ(store.createKeyPair(kAes, 1024, "", false, false, 24, "", false),
            R"({"error":"createKeyPair - containerName is null"})");
  EXPECT_TRUE(platform.calls.empty());
}

// The blob is checked after encoding: its type byte, then the RSA1 magic.
TEST_F(CreateKeyPair, BlobChecks) {
  Bytes wrongType = rsaBlob();
  wrongType[0] = 7;
  Bytes wrongMagic = rsaBlob();
  wrongMagic[11] = '2';
  const struct {
    Bytes blob;
    std::string message;
  } cases[] = {
      {wrongType, "createKeyPair - Invalid public key blob"},
      {wrongMagic, "createKeyPair - Invalid public key type"},
      {Bytes{6, 2, 0}, "createKeyPair - Invalid public key type"},  // too short for the magic
      {Bytes{},
       "createKeyPair - Error encoding publicKey into base64: publicKeyBlob: 0 - b64PubKey: "},
  };
  for (const auto& c : cases) {
    FakePlatform p;
    p.publicKeyBlob = c.blob;
    CapiKeyStore s(p);
    EXPECT_EQ(s.createKeyPair(kAes, 1024, "c", false, false, 24, "", false),
              R"({"error":")" + c.message + R"("})");
  }
}

// With makeRequest the request replaces the key result, also after a failed key step,
// and the request is built from the words as given (before the alias rule).
TEST_F(CreateKeyPair, MakeRequestReturnsTheRequest) {
  EXPECT_EQ(store.createKeyPair(kAes, 2048, "c1", false, true, 24, "Ana", true),
            base64Encode(platform.request));
  platform.failOn("genKey", win::kFail);
  EXPECT_EQ(store.createKeyPair(kAes, 2048, "c1", false, true, 24, "Ana", true),
            base64Encode(platform.request));
  EXPECT_EQ(store.createKeyPair(kAes, 2048, "c1", false, true, 24, "", true),
            R"({"error":"generateCSR - DN is null"})");
}

// ---- generateCSR -----------------------------------------------------------------------

using GenerateCSR = Fixture;

TEST_F(GenerateCSR, SubjectKeyAndSignatureAlgorithm) {
  EXPECT_EQ(store.generateCSR("CN=Ana,O=X", kAes, "c1", 24), base64Encode(platform.request));
  ASSERT_EQ(platform.encodedAttributes.size(), 1u);
  const NameAttribute& cn = platform.encodedAttributes[0];
  EXPECT_EQ(cn.oid, "2.5.4.3");
  EXPECT_EQ(cn.valueType, win::kRdnPrintableString);
  EXPECT_EQ(std::string(cn.value.begin(), cn.value.end()), "CN=Ana,O=X");  // not parsed
  EXPECT_EQ(platform.requestSubject, platform.nameDer);
  EXPECT_EQ(platform.requestPublicKeyInfo, platform.publicKeyInfo);
  EXPECT_EQ(platform.requestSignatureOid, "1.2.840.113549.1.1.11");
  EXPECT_THAT(platform.requestKeySpecs, ElementsAre(1u, 1u));
}

// Smart cards are opened by name and type; every other provider through the AES one.
TEST_F(GenerateCSR, ProviderChoice) {
  const struct {
    std::string provider;
    int type;
    std::string opened;
    std::uint32_t openedType;
  } cases[] = {
      {kBase, 1, kAes, 24},
      {"Some Other CSP", 7, kAes, 24},
      {"SafeSign Standard Cryptographic Service Provider", 1,
       "SafeSign Standard Cryptographic Service Provider", 1},
      {kAthena + " v2", 1, kCard, 1},
  };
  for (const auto& c : cases) {
    FakePlatform p;
    CapiKeyStore s(p);
    (void)s.generateCSR("Ana", c.provider, "c1", c.type);
    ASSERT_EQ(p.acquires.size(), 1u);
    EXPECT_EQ(p.acquires[0].provider, c.opened) << c.provider;
    EXPECT_EQ(p.acquires[0].type, c.openedType) << c.provider;
    EXPECT_EQ(p.acquires[0].container, "c1");
    EXPECT_EQ(p.acquires[0].flags, 0u);
  }
}

TEST_F(GenerateCSR, FailuresBecomeErrorText) {
  // The input: the provider name.
  const FailureCase<std::string> cases[] = {
      {"encodeName", 1, win::kBadKeySet, kAes,
       "generateCSR The first call to CryptEncodeObject failed. A public/private key pair may "
       "not exit in the container."},
      {"encodeName", 2, win::kBadKeySet, kAes,
       "generateCSR The second call to CryptEncodeObject failed. "},
      {"acquireContext", 1, win::kBadKeySet, kCard,
       "generateCSR CryptAcquireContext failed 1."},
      {"acquireContext", 1, win::kBadKeySet, kAes, "generateCSR CryptAcquireContext failed 2."},
      {"exportPublicKeyInfo", 1, win::kBadKeySet, kAes,
       "generateCSR The first call to CryptExportPublickKeyInfo failed.  The probable cause is "
       "that  There is no key pair in the key container."},
      {"exportPublicKeyInfo", 2, win::kBadKeySet, kAes,
       "generateCSR The second call to CryptExportPublicKeyInfo failed. "},
      {"signAndEncodeRequest", 1, win::kBadKeySet, kAes,
       "generateCSR First call to CryptSignandEncode failed. "},
      {"signAndEncodeRequest", 2, win::kBadKeySet, kAes,
       "generateCSR The second call to CryptSignAndEncode failed. "},
  };
  expectFailures(cases, Reported::AsErrorText, [](FakePlatform&, const std::string&) {},
                 [](FakePlatform& p, const std::string& provider) {
                   return CapiKeyStore(p).generateCSR("Ana", provider, "c1", 24);
                 });
}

// Checked in this order, before any platform call.
TEST_F(GenerateCSR, EmptyWords) {
  EXPECT_EQ(store.generateCSR("", "", "", 24), R"({"error":"generateCSR - DN is null"})");
  EXPECT_EQ(store.generateCSR("Ana", "", "", 24),
            R"({"error":"generateCSR - Provider name is null"})");
  EXPECT_EQ(store.generateCSR("Ana", kAes, "", 24),
            R"({"error":"generateCSR - Container name is null"})");
  EXPECT_TRUE(platform.calls.empty());
}

// ---- acceptPKCS7 --------------------------------------------------------------------------

using AcceptPKCS7 = Fixture;

const std::string kCertificate = base64Encode(Bytes{0x30, 0x03, 0x01, 0x01, 0xFF});

TEST_F(AcceptPKCS7, StorePathBindsTheContainer) {
  EXPECT_EQ(store.acceptPKCS7(kCertificate, kAes, "c1", 24), R"({"result":"ok"})");
  EXPECT_EQ(platform.createdCertificate, base64Decode(kCertificate));
  EXPECT_EQ(platform.addDisposition, win::kStoreAddAlways);
  ASSERT_TRUE(platform.setRecord.has_value());
  EXPECT_EQ(platform.setRecord->containerName, u"c1");
  EXPECT_EQ(platform.setRecord->providerName, u"Microsoft Enhanced RSA and AES Cryptographic Provider");
  EXPECT_EQ(platform.setRecord->providerType, 24u);
  EXPECT_EQ(platform.setRecord->flags, 0u);
  EXPECT_EQ(platform.setRecord->keySpec, 1u);
  EXPECT_TRUE(platform.acquires.empty());
}

// Store path: "Microsoft" but not the Microsoft smart-card provider; token path otherwise.
TEST_F(AcceptPKCS7, PathChoice) {
  const struct {
    std::string provider;
    bool storePath;
  } cases[] = {
      {kAes, true},
      {kBase, true},
      {"My Microsoft thing", true},
      {kCard, false},
      {kCard + " 2", false},
      {"SafeSign Standard Cryptographic Service Provider", false},
      {"Micro", false},  // shorter than "Microsoft"
      {"microsoft enhanced", false},
      {kAthena, false},  // no alias here
  };
  for (const auto& c : cases) {
    FakePlatform p;
    CapiKeyStore s(p);
    EXPECT_EQ(s.acceptPKCS7(kCertificate, c.provider, "c1", 1), R"({"result":"ok"})");
    EXPECT_EQ(p.count("openCurrentUserStore"), c.storePath ? 1 : 0) << c.provider;
    if (!c.storePath) {
      ASSERT_EQ(p.acquires.size(), 1u);
      EXPECT_EQ(p.acquires[0].provider, c.provider);
      EXPECT_EQ(p.acquires[0].flags, 0u);
      EXPECT_EQ(p.keyParamData, base64Decode(kCertificate));  // handed over unchanged
    }
    EXPECT_EQ(p.openHandles, 0) << c.provider;
  }
}

TEST_F(AcceptPKCS7, FailureMessages) {
  constexpr std::uint32_t kDenied = win::kErrorAccessDenied;
  // The input: the provider name.
  const FailureCase<std::string> cases[] = {
      {"acquireContext", 1, kDenied, kCard,
       "acceptPKCS7 - Erro recuperando Contexto criptografico. Valide o nome do container e o "
       "Provider"},
      {"getUserKey", 1, kDenied, kCard, "acceptPKCS7 - CryptGetUserKey"},
      {"setKeyParam", 1, kDenied, kCard, "acceptPKCS7 - Operacao cancelada ou token bloqueado"},
      {"openCurrentUserStore", 1, kDenied, kAes, "acceptPKCS7 - CertOpenStore"},
      {"createCertificateContext", 1, kDenied, kAes, "acceptPKCS7 - CertCreateCertificateContext"},
      {"toWide(LENGTH)", 1, kDenied, kAes, "acceptPKCS7 - MultiByteToWideChar - w_container"},
      {"toWide(CONVERT)", 1, kDenied, kAes, "acceptPKCS7 - MultiByteToWideChar - w_container"},
      {"toWide(LENGTH)", 2, kDenied, kAes, "acceptPKCS7 - MultiByteToWideChar - w_provider"},
      {"toWide(CONVERT)", 2, kDenied, kAes, "acceptPKCS7 - Insufficient Memory - w_provider"},
      {"addCertificateToStore", 1, kDenied, kAes, "acceptPKCS7 - CertAddCertificateContextToStore"},
      {"setKeyProvInfo", 1, kDenied, kAes, "acceptPKCS7 - CertSetCertificateContextProperty"},
  };
  expectFailures(cases, Reported::Thrown, [](FakePlatform&, const std::string&) {},
                 [](FakePlatform& p, const std::string& provider) {
                   return CapiKeyStore(p).acceptPKCS7(kCertificate, provider, "c1", 1);
                 });
}

TEST_F(AcceptPKCS7, EmptyWordsInOrder) {
  EXPECT_THAT([&] { store.acceptPKCS7("", "", "", 24); },
              ThrowsMessage<std::runtime_error>("acceptPKCS7 - Provider name is null"));
  EXPECT_THAT([&] { store.acceptPKCS7("", kAes, "", 24); },
              ThrowsMessage<std::runtime_error>("acceptPKCS7 - Container name is null"));
  EXPECT_THAT([&] { store.acceptPKCS7("", kAes, "c1", 24); },
              ThrowsMessage<std::runtime_error>("acceptPKCS7 - PKCS#7 data is null"));
  EXPECT_TRUE(platform.calls.empty());
}


// ---- listCertificates -----------------------------------------------------------

namespace listing {

// Decodes "abc" only.
class AbcDecoder final : public CertificateDecoder {
 public:
  std::optional<CertificateFields> decode(const Bytes& der) const override {
    if (der != Bytes{'a', 'b', 'c'}) return std::nullopt;
    return CertificateFields{"CN=Ana", "CN=CA", "01", "2026-01-01T00:00:00Z",
                             "2027-01-01T00:00:00Z"};
  }
};

struct ListCertificates : ::testing::Test {
  FakePlatform platform;
  AbcDecoder decoder;
  CapiKeyStore store{platform, decoder};
  void TearDown() override { EXPECT_EQ(platform.openHandles, 0) << "a handle was not released"; }
};

// One record per certificate in store order, with the key-provider record's names
// (UTF-16 to UTF-8), type and key spec, or null members without a record; a
// certificate the decoder cannot read keeps its thumbprint and Base64.
TEST_F(ListCertificates, RecordsInStoreOrder) {
  KeyProvInfo record;
  record.containerName = u"caf\u00e9 \U0001F600";
  record.providerName = u"Microsoft Enhanced RSA and AES Cryptographic Provider";
  record.providerType = 24;
  record.keySpec = 1;
  platform.storeCertificates = {{{'a', 'b', 'c'}, record}, {{'x', 'y', 'z'}, std::nullopt}};
  const Records records = store.listCertificates();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].dump(),
            "{\"certificate\":\"YWJj\",\"container\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\","
            "\"issuer\":\"CN=CA\",\"keySpec\":1,\"notAfter\":\"2027-01-01T00:00:00Z\","
            "\"notBefore\":\"2026-01-01T00:00:00Z\","
            "\"provider\":\"Microsoft Enhanced RSA and AES Cryptographic Provider\","
            "\"providerType\":24,\"serialNumber\":\"01\",\"subject\":\"CN=Ana\","
            "\"thumbprint\":\"a9993e364706816aba3e25717850c26c9cd0d89d\"}");
  EXPECT_EQ(records[1].dump(),
            R"({"certificate":"eHl6","container":null,"issuer":null,"keySpec":null,)"
            R"("notAfter":null,"notBefore":null,"provider":null,"providerType":null,)"
            R"("serialNumber":null,"subject":null,)"
            R"("thumbprint":"66b27417d37e024c46526c2f6d358a754fc552f3"})");
}

TEST_F(ListCertificates, EmptyStoreGivesNoRecord) { EXPECT_TRUE(store.listCertificates().empty()); }

// A lone surrogate in a stored name becomes U+FFFD; a record that cannot be read is
// no binding, not a failure.
TEST_F(ListCertificates, UnreadableNamesAndRecords) {
  KeyProvInfo record;
  record.containerName = std::u16string(1, u'\xD800') + u"x";
  platform.storeCertificates = {{{'a', 'b', 'c'}, record}, {{'a', 'b', 'c'}, record}};
  platform.failOn("getKeyProvInfo", win::kErrorMoreData, 4);
  const Records records = store.listCertificates();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["container"], "\xEF\xBF\xBDx");
  EXPECT_TRUE(records[1]["container"].is_null());
  EXPECT_TRUE(records[1]["keySpec"].is_null());
}

// The store that does not open, and an enumeration that fails other than at its end,
// fail the listing; every handle is released.
TEST_F(ListCertificates, StoreFailures) {
  platform.storeCertificates = {{{'a', 'b', 'c'}, std::nullopt}, {{'a', 'b', 'c'}, std::nullopt}};
  const FailureCase<int> cases[] = {
      {"openCurrentUserStore", 1, win::kErrorAccessDenied, 0, "listCertificates - CertOpenStore"},
      {"enumCertificatesInStore", 2, win::kErrorAccessDenied, 0,
       "listCertificates - CertEnumCertificatesInStore"},
      {"getEncodedCertificate", 2, win::kErrorInvalidParameter, 0,
       "listCertificates - CertEnumCertificatesInStore"},
  };
  expectFailures(
      cases, Reported::Thrown,
      [&](FakePlatform& p, int) { p.storeCertificates = platform.storeCertificates; },
      [&](FakePlatform& p, int) {
        CapiKeyStore other{p, decoder};
        return std::to_string(other.listCertificates().size());
      });
}

}  // namespace listing

}  // namespace
}  // namespace ankor::capi
