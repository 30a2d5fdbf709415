// The Linux back-end against OpenSSL and the file system: the call semantics the
// operations rely on, the storage layout and its permissions.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ankor/capi/digest.h"
#include "ankor/capi/platform.h"
#include "common/testing/temp_dir.h"

namespace ankor::capi {
namespace {

namespace fs = std::filesystem;
const char* kAes = "Microsoft Enhanced RSA and AES Cryptographic Provider";
const char* kBase = "Microsoft Base Cryptographic Provider v1.0";

struct LinuxPlatform : ::testing::Test {
  CryptoPlatform& p = systemPlatform();
  tarvo::testing::TempDir tempDir{"ankor-capi"};
  std::string home = tempDir.string();

  void SetUp() override { setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1); }
  void TearDown() override { unsetenv("XDG_DATA_HOME"); }

  ProviderContext open(const std::string& container, std::uint32_t flags = 0,
                       const char* provider = kAes, std::uint32_t type = 24) {
    ProviderContext context(p);
    EXPECT_TRUE(p.acquireContext(context.out(), container.c_str(), provider, type, flags))
        << container << " error " << std::hex << p.lastError();
    return context;
  }
  // A new container with a fresh key of the given size; returns its public key blob.
  Bytes newKey(const std::string& container, std::uint32_t bits) {
    ProviderContext context = open(container, win::kCryptNewKeySet);
    CryptKey key(p);
    EXPECT_TRUE(p.genKey(context.get(), win::kKeyExchange, bits << 16, key.out()));
    return exportBlob(key);
  }
  Bytes exportBlob(const CryptKey& key) {
    std::uint32_t size = 0;
    EXPECT_TRUE(p.exportKey(key.get(), win::kPublicKeyBlob, nullptr, &size));
    Bytes blob(size);
    EXPECT_TRUE(p.exportKey(key.get(), win::kPublicKeyBlob, blob.data(), &size));
    return blob;
  }
  std::vector<std::string> enumerate(Handle context) {
    std::vector<std::string> names;
    std::uint8_t buffer[300];
    for (std::uint32_t flags = win::kCryptFirst;; flags = win::kCryptNext) {
      std::uint32_t length = sizeof buffer;
      if (!p.getProvParam(context, win::kParamEnumContainers, buffer, &length, flags)) {
        EXPECT_EQ(p.lastError(), win::kErrorNoMoreItems);
        return names;
      }
      names.emplace_back(reinterpret_cast<const char*>(buffer));
    }
  }
  std::string containersDir() const { return home + "/data/ankor/containers"; }
};

// An RSA public key rebuilt from a PUBLICKEYBLOB: "RSA1", bits, exponent, modulus LE.
EVP_PKEY* keyFromBlob(const Bytes& blob) {
  const std::uint32_t bits = blob[12] | blob[13] << 8 | blob[14] << 16 | blob[15] << 24;
  const std::uint32_t e = blob[16] | blob[17] << 8 | blob[18] << 16 | blob[19] << 24;
  BIGNUM* n = BN_lebin2bn(blob.data() + 20, static_cast<int>(bits / 8), nullptr);
  BIGNUM* exponent = BN_new();
  BN_set_word(exponent, e);
  OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, exponent);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(context);
  EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(build);
  BN_free(n);
  BN_free(exponent);
  return key;
}

TEST_F(LinuxPlatform, ProvidersUnderTheirWindowsNames) {
  std::vector<std::pair<std::string, std::uint32_t>> seen;
  for (std::uint32_t i = 0;; ++i) {
    std::uint32_t type = 0, size = 0;
    if (!p.enumProviders(i, &type, nullptr, &size)) {
      EXPECT_EQ(p.lastError(), win::kErrorNoMoreItems);
      break;
    }
    std::string name(size, '\0');
    ASSERT_TRUE(p.enumProviders(i, &type, name.data(), &size));
    seen.emplace_back(name.c_str(), type);
  }
  const std::vector<std::pair<std::string, std::uint32_t>> expected = {
      {kBase, 1}, {"Microsoft Enhanced Cryptographic Provider v1.0", 1}, {kAes, 24}};
  EXPECT_EQ(seen, expected);
  std::uint32_t type = 0, size = 4;
  char small[4];
  EXPECT_FALSE(p.enumProviders(0, &type, small, &size));
  EXPECT_EQ(p.lastError(), win::kErrorMoreData);
  EXPECT_EQ(size, std::string(kBase).size() + 1);
}

TEST_F(LinuxPlatform, AcquireContextErrors) {
  (void)newKey("exists", 512);
  const struct {
    const char* container;
    const char* provider;
    std::uint32_t type;
    std::uint32_t flags;
    std::uint32_t error;
  } cases[] = {
      {"missing", kAes, 24, 0, win::kBadKeySet},
      {"exists", kAes, 24, win::kCryptNewKeySet, win::kKeySetExists},
      {"exists", "Athena ASECard Crypto CSP", 24, 0, win::kKeySetNotDefined},
      {"exists", kAes, 0, 0, win::kBadProvType},
      {"exists", kAes, 1, 0, win::kProvTypeNoMatch},
      {"exists", kAes, 24, 0x20, win::kBadFlags},
      {"exists", kAes, 24, win::kCryptVerifyContext, win::kBadFlags},
  };
  for (const auto& c : cases) {
    Handle handle = 7;
    EXPECT_FALSE(p.acquireContext(&handle, c.container, c.provider, c.type, c.flags));
    EXPECT_EQ(p.lastError(), c.error) << c.container << " " << c.provider << " " << c.flags;
    EXPECT_EQ(handle, 0u);
  }
}

// One set of containers for all the software providers, in name order; names of any
// bytes survive the file names; files only the owner can read.
TEST_F(LinuxPlatform, ContainersAreSharedListedAndPrivate) {
  const std::vector<std::string> names = {"b/../x", "a b", "\xC3\xA9quipe", "Zeta", "%41"};
  for (const auto& name : names) {
    ProviderContext context = open(name, win::kCryptNewKeySet, kBase, 1);
  }
  // What a crash in the middle of a write leaves behind is not a container.
  { std::ofstream(containersDir() + "/.tmp-Zeta.key.x1Y2z3") << "ankor-container 1\n"; }
  ProviderContext verify(p);
  ASSERT_TRUE(p.acquireContext(verify.out(), nullptr, kAes, 24, win::kCryptVerifyContext));
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(enumerate(verify.get()), sorted);

  struct stat status {};
  ASSERT_EQ(stat(containersDir().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  for (const auto& entry : fs::directory_iterator(containersDir())) {
    ASSERT_EQ(stat(entry.path().c_str(), &status), 0);
    if (entry.path().filename().string().rfind(".tmp-", 0) == 0) continue;
    EXPECT_EQ(status.st_mode & 0777, 0600u) << entry.path();
    EXPECT_EQ(entry.path().parent_path(), containersDir());  // no "/" escaped the directory
  }

  std::uint8_t buffer[2];
  std::uint32_t length = sizeof buffer;
  EXPECT_FALSE(p.getProvParam(verify.get(), win::kParamEnumContainers, buffer, &length,
                              win::kCryptFirst));
  EXPECT_EQ(p.lastError(), win::kErrorMoreData);
  EXPECT_EQ(length, sorted[0].size() + 1);
}

// Container names match without regard to ASCII letter case; listing gives the name
// as created.
TEST_F(LinuxPlatform, ContainerNamesIgnoreLetterCase) {
  const Bytes blob = newKey("MyKey", 512);
  ProviderContext lower = open("mykey");
  CryptKey key(p);
  ASSERT_TRUE(p.getUserKey(lower.get(), win::kKeyExchange, key.out()));
  EXPECT_EQ(exportBlob(key), blob);
  Handle again = 0;
  EXPECT_FALSE(p.acquireContext(&again, "MYKEY", kAes, 24, win::kCryptNewKeySet));
  EXPECT_EQ(p.lastError(), win::kKeySetExists);
  CryptKey replaced(p);  // a new key through the other spelling keeps the name
  ASSERT_TRUE(p.genKey(lower.get(), win::kKeyExchange, 512u << 16, replaced.out()));
  EXPECT_EQ(enumerate(lower.get()), std::vector<std::string>{"MyKey"});
}

// The blob is the container's key: header, RSA1, bit length, exponent, modulus LE.
TEST_F(LinuxPlatform, KeyGenerationAndPublicKeyBlob) {
  const Bytes blob = newKey("k", 2048);
  ASSERT_EQ(blob.size(), 20u + 256u);
  EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 20),
            (Bytes{6, 2, 0, 0, 0x00, 0xA4, 0, 0, 'R', 'S', 'A', '1', 0, 8, 0, 0, 1, 0, 1, 0}));

  ProviderContext context = open("k");
  CryptKey key(p);
  ASSERT_TRUE(p.getUserKey(context.get(), win::kKeyExchange, key.out()));
  EXPECT_EQ(exportBlob(key), blob);  // persisted across contexts

  CryptKey missing(p);
  EXPECT_FALSE(p.getUserKey(context.get(), 2, missing.out()));  // no signature key
  EXPECT_EQ(p.lastError(), win::kNoKey);

  // No length bits: the provider's default, 1024.
  EXPECT_EQ(newKey("default", 0).size(), 20u + 128u);
  for (const std::uint32_t bits : {100u, 16392u, 1001u}) {
    ProviderContext c = open("bad" + std::to_string(bits), win::kCryptNewKeySet);
    CryptKey k(p);
    EXPECT_FALSE(p.genKey(c.get(), win::kKeyExchange, bits << 16, k.out()));
    EXPECT_EQ(p.lastError(), win::kBadFlags) << bits;
    CryptKey none(p);
    EXPECT_FALSE(p.getUserKey(c.get(), win::kKeyExchange, none.out()));  // empty container
    EXPECT_EQ(p.lastError(), win::kNoKey);
  }
}

// Signatures come least significant byte first and verify, reversed, as PKCS#1 v1.5;
// a digest set as the hash value gives the same signature as hashing the data.
TEST_F(LinuxPlatform, SignHashIsLittleEndianPkcs1) {
  const Bytes blob = newKey("s", 1024);
  ProviderContext context = open("s");
  const std::string data = "to be signed";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());

  auto signWith = [&](bool asDigest) {
    CryptHash hash(p);
    EXPECT_TRUE(p.createHash(context.get(), win::kAlgSha256, hash.out()));
    if (asDigest) {
      const Bytes digest = *computeSha256(bytes, data.size());
      EXPECT_TRUE(p.setHashParam(hash.get(), win::kHashParamValue, digest.data()));
      EXPECT_FALSE(p.hashData(hash.get(), bytes, 1));
      EXPECT_EQ(p.lastError(), win::kBadHashState);
    } else {
      EXPECT_TRUE(p.hashData(hash.get(), bytes, static_cast<std::uint32_t>(data.size())));
    }
    std::uint32_t size = 0;
    EXPECT_TRUE(p.signHash(hash.get(), win::kKeyExchange, nullptr, &size));
    Bytes signature(size);
    EXPECT_TRUE(p.signHash(hash.get(), win::kKeyExchange, signature.data(), &size));
    return signature;
  };
  const Bytes fromData = signWith(false);
  EXPECT_EQ(signWith(true), fromData);

  Bytes bigEndian(fromData.rbegin(), fromData.rend());
  EVP_PKEY* key = keyFromBlob(blob);
  EVP_MD_CTX* verify = EVP_MD_CTX_new();
  ASSERT_EQ(EVP_DigestVerifyInit(verify, nullptr, EVP_sha256(), nullptr, key), 1);
  EXPECT_EQ(EVP_DigestVerify(verify, bigEndian.data(), bigEndian.size(), bytes, data.size()), 1);
  EVP_MD_CTX_free(verify);
  EVP_PKEY_free(key);

  // The PROV_RSA_FULL providers know SHA-1 only.
  ProviderContext base = open("s", 0, kBase, 1);
  CryptHash hash(p);
  EXPECT_FALSE(p.createHash(base.get(), win::kAlgSha256, hash.out()));
  EXPECT_EQ(p.lastError(), win::kBadAlgId);
}

TEST_F(LinuxPlatform, NameEncodingIsPrintableStringDer) {
  auto encode = [&](const std::string& text, Bytes* der) {
    NameAttribute cn{"2.5.4.3", win::kRdnPrintableString, Bytes(text.begin(), text.end())};
    std::uint32_t size = 0;
    if (!p.encodeName(&cn, 1, nullptr, &size)) return false;
    der->resize(size);
    return p.encodeName(&cn, 1, der->data(), &size);
  };
  Bytes der;
  ASSERT_TRUE(encode("Ana", &der));
  EXPECT_EQ(der, (Bytes{0x30, 0x0E, 0x31, 0x0C, 0x30, 0x0A, 0x06, 0x03, 0x55, 0x04, 0x03, 0x13,
                        0x03, 'A', 'n', 'a'}));
  EXPECT_TRUE(encode("Ana Silva: 1 (x) +,-./=?'", &der));
  for (const std::string bad : {"ana@x", "Jos\xC3\xA9", "a_b", "a*b"}) {
    EXPECT_FALSE(encode(bad, &der)) << bad;
    EXPECT_EQ(p.lastError(), win::kInvalidPrintableString);
  }
}

TEST_F(LinuxPlatform, RequestIsSignedByTheContainerKey) {
  const Bytes blob = newKey("r", 1024);
  ProviderContext context = open("r");
  NameAttribute cn{"2.5.4.3", win::kRdnPrintableString, Bytes{'A', 'n', 'a'}};
  std::uint32_t nameSize = 0;
  ASSERT_TRUE(p.encodeName(&cn, 1, nullptr, &nameSize));
  Bytes name(nameSize);
  ASSERT_TRUE(p.encodeName(&cn, 1, name.data(), &nameSize));
  std::uint32_t infoSize = 0;
  ASSERT_TRUE(p.exportPublicKeyInfo(context.get(), win::kKeyExchange, nullptr, &infoSize));
  Bytes info(infoSize);
  ASSERT_TRUE(p.exportPublicKeyInfo(context.get(), win::kKeyExchange, info.data(), &infoSize));
  const RequestInfo request{0, name, info.data()};
  std::uint32_t size = 0;
  ASSERT_TRUE(p.signAndEncodeRequest(context.get(), 1, request, "1.2.840.113549.1.1.11",
                                     nullptr, &size));
  Bytes der(size);
  ASSERT_TRUE(p.signAndEncodeRequest(context.get(), 1, request, "1.2.840.113549.1.1.11",
                                     der.data(), &size));
  const std::uint8_t* cursor = der.data();
  X509_REQ* req = d2i_X509_REQ(nullptr, &cursor, static_cast<long>(der.size()));
  ASSERT_NE(req, nullptr);
  EVP_PKEY* key = keyFromBlob(blob);
  EXPECT_EQ(X509_REQ_verify(req, key), 1);
  EXPECT_EQ(X509_REQ_get_signature_nid(req), NID_sha256WithRSAEncryption);
  EVP_PKEY_free(key);
  X509_REQ_free(req);

  EXPECT_FALSE(p.signAndEncodeRequest(context.get(), 1, request, "1.2.3", nullptr, &size));
}

// A self-signed certificate for the store tests.
Bytes selfSigned() {
  EVP_PKEY* key = EVP_RSA_gen(1024);
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("T"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  Bytes der(static_cast<std::size_t>(i2d_X509(cert, nullptr)));
  std::uint8_t* cursor = der.data();
  i2d_X509(cert, &cursor);
  X509_free(cert);
  EVP_PKEY_free(key);
  return der;
}

TEST_F(LinuxPlatform, StoreKeepsOneEntryPerThumbprintWithItsRecord) {
  const Bytes der = selfSigned();
  const Bytes thumbprint = *computeSha1(der.data(), der.size());
  KeyProvInfo record{u"c\u00e91 x", u"Microsoft Enhanced RSA and AES Cryptographic Provider", 24,
                     0, 1};
  for (int round = 0; round < 2; ++round) {  // adding twice succeeds both times
    CertStore store(p, p.openCurrentUserStore(u"MY"));
    ASSERT_TRUE(store);
    CertificateContext created(p, p.createCertificateContext(
                                      der.data(), static_cast<std::uint32_t>(der.size())));
    ASSERT_TRUE(created);
    CertificateContext added(p);
    ASSERT_TRUE(p.addCertificateToStore(store.get(), created.get(), win::kStoreAddAlways,
                                        added.out()));
    ASSERT_TRUE(p.setKeyProvInfo(added.get(), record));
  }
  const std::string storeDir = home + "/data/ankor/stores/MY";
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(storeDir)) {
    files.push_back(entry.path().filename());
  }
  EXPECT_EQ(files, std::vector<std::string>{hexEncode(thumbprint) + ".cer"});  // no temp left

  CertStore store(p, p.openCurrentUserStore(u"MY"));
  CertificateContext found(p, p.findCertificateBySha1(store.get(), thumbprint.data(), 20));
  ASSERT_TRUE(found);
  std::uint32_t size = 0;
  ASSERT_TRUE(p.getKeyProvInfo(found.get(), nullptr, &size));
  KeyProvInfo read;
  ASSERT_TRUE(p.getKeyProvInfo(found.get(), &read, &size));
  EXPECT_EQ(read.containerName, record.containerName);
  EXPECT_EQ(read.providerName, record.providerName);
  EXPECT_EQ(read.providerType, 24u);
  EXPECT_EQ(read.keySpec, 1u);

  Bytes other = thumbprint;
  other[0] ^= 1;
  EXPECT_EQ(p.findCertificateBySha1(store.get(), other.data(), 20), 0u);
  EXPECT_EQ(p.lastError(), win::kNotFound);

  // A certificate added without a record has none.
  const Bytes second = selfSigned();
  CertificateContext created(p, p.createCertificateContext(
                                    second.data(), static_cast<std::uint32_t>(second.size())));
  CertificateContext added(p);
  ASSERT_TRUE(p.addCertificateToStore(store.get(), created.get(), win::kStoreAddAlways,
                                      added.out()));
  EXPECT_FALSE(p.getKeyProvInfo(added.get(), nullptr, &size));
  EXPECT_EQ(p.lastError(), win::kNotFound);
}

// Adding a stored certificate again keeps its key-provider record until a new one is
// set: a reader in between, or a run that ends there, finds it still bound.
TEST_F(LinuxPlatform, AddingAgainKeepsTheRecordUntilReplaced) {
  const Bytes der = selfSigned();
  const Bytes thumbprint = *computeSha1(der.data(), der.size());
  auto containerOfStored = [&] {
    CertStore reader(p, p.openCurrentUserStore(u"MY"));
    CertificateContext found(p, p.findCertificateBySha1(reader.get(), thumbprint.data(), 20));
    KeyProvInfo read;
    std::uint32_t size = 4096;
    return found && p.getKeyProvInfo(found.get(), &read, &size) ? read.containerName
                                                                 : u"<unbound>";
  };
  for (const char16_t* container : {u"one", u"two"}) {
    CertStore store(p, p.openCurrentUserStore(u"MY"));
    CertificateContext created(p, p.createCertificateContext(
                                      der.data(), static_cast<std::uint32_t>(der.size())));
    CertificateContext added(p);
    ASSERT_TRUE(p.addCertificateToStore(store.get(), created.get(), win::kStoreAddAlways,
                                        added.out()));
    EXPECT_EQ(containerOfStored(), container == std::u16string(u"one") ? u"<unbound>" : u"one");
    ASSERT_TRUE(p.setKeyProvInfo(added.get(), KeyProvInfo{container, u"P", 24, 0, 1}));
    EXPECT_EQ(containerOfStored(), container);
  }
}

// A FIFO, a device or a huge file in the store is unreadable and never waited on:
// listing, opening the container and finding the certificate return at once.
TEST_F(LinuxPlatform, HostileFilesInTheStoreAreUnreadable) {
  (void)newKey("good", 512);
  ASSERT_EQ(mkfifo((containersDir() + "/fifo.key").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", containersDir() + "/zero.key");
  { std::ofstream(containersDir() + "/huge.key") << "ankor-container 1\n"; }
  fs::resize_file(containersDir() + "/huge.key", 200u << 20);  // sparse
  // A name line longer than any container name: listed by its file name.
  { std::ofstream(containersDir() + "/long.key") << "ankor-container 1\nname " << std::string(2000, 'x') << "\n"; }
  const Bytes der = selfSigned();
  const Bytes thumbprint = *computeSha1(der.data(), der.size());
  CertStore store(p, p.openCurrentUserStore(u"MY"));
  const std::string entry = home + "/data/ankor/stores/MY/" + hexEncode(thumbprint) + ".cer";
  ASSERT_EQ(mkfifo(entry.c_str(), 0600), 0);

  alarm(60);  // a blocking open or read ends the test instead of hanging it
  ProviderContext verify(p);
  ASSERT_TRUE(p.acquireContext(verify.out(), nullptr, kAes, 24, win::kCryptVerifyContext));
  EXPECT_EQ(enumerate(verify.get()),
            (std::vector<std::string>{"fifo", "good", "huge", "long", "zero"}));
  for (const char* name : {"fifo", "zero", "huge", "long"}) {
    ProviderContext context = open(name);
    CryptKey key(p);
    EXPECT_FALSE(p.getUserKey(context.get(), win::kKeyExchange, key.out())) << name;
    EXPECT_EQ(p.lastError(), win::kNoKey) << name;
  }
  EXPECT_EQ(p.findCertificateBySha1(store.get(), thumbprint.data(), 20), 0u);
  EXPECT_EQ(p.lastError(), win::kNotFound);
  alarm(0);
}

// containers/ or stores/MY replaced by a link to another directory is refused, and
// nothing is written there.
TEST_F(LinuxPlatform, LinkedStoreDirectoriesAreRefused) {
  const std::string outside = home + "/outside";
  fs::create_directories(outside);
  fs::create_directories(home + "/data/ankor/stores");
  fs::create_directory_symlink(outside, containersDir());
  fs::create_directory_symlink(outside, home + "/data/ankor/stores/MY");
  for (const std::uint32_t flags : {win::kCryptNewKeySet, 0u}) {
    Handle handle = 0;
    EXPECT_FALSE(p.acquireContext(&handle, "k", kAes, 24, flags));
    EXPECT_EQ(p.lastError(), win::kErrorAccessDenied) << flags;
  }
  ProviderContext verify(p);
  ASSERT_TRUE(p.acquireContext(verify.out(), nullptr, kAes, 24, win::kCryptVerifyContext));
  std::uint8_t buffer[300];
  std::uint32_t length = sizeof buffer;
  EXPECT_FALSE(p.getProvParam(verify.get(), win::kParamEnumContainers, buffer, &length,
                              win::kCryptFirst));
  EXPECT_EQ(p.lastError(), win::kErrorAccessDenied);
  EXPECT_EQ(p.openCurrentUserStore(u"MY"), 0u);
  EXPECT_EQ(p.lastError(), win::kErrorAccessDenied);
  EXPECT_TRUE(fs::is_empty(outside));
}

// A store that someone else could have filled (root with another user's HOME, a
// directory others can write) is refused as a whole: no container is opened, created,
// deleted or listed there, and no certificate store is opened.
TEST_F(LinuxPlatform, StoreOfAnotherUserIsRefused) {
  constexpr std::uint32_t kDeleteKeySet = 0x10;  // CRYPT_DELETEKEYSET
  (void)newKey("planted", 512);
  (void)CertStore(p, p.openCurrentUserStore(u"MY"));
  const std::string root = home + "/data/ankor";
  // The certificate stores sit beside containers/: a bad containers/ leaves them usable.
  const auto refused = [&](const std::string& what, bool certificatesToo = true) {
    for (const std::uint32_t flags : {0u, win::kCryptNewKeySet, kDeleteKeySet}) {
      Handle handle = 0;
      EXPECT_FALSE(p.acquireContext(&handle, flags == win::kCryptNewKeySet ? "fresh" : "planted", kAes, 24, flags))
          << what << " flags " << flags;
      EXPECT_EQ(p.lastError(), win::kErrorAccessDenied) << what << " flags " << flags;
    }
    ProviderContext verify(p);
    ASSERT_TRUE(p.acquireContext(verify.out(), nullptr, kAes, 24, win::kCryptVerifyContext));
    std::uint8_t buffer[300];
    std::uint32_t length = sizeof buffer;
    EXPECT_FALSE(p.getProvParam(verify.get(), win::kParamEnumContainers, buffer, &length, win::kCryptFirst))
        << what;
    EXPECT_EQ(p.lastError(), win::kErrorAccessDenied) << what;
    if (certificatesToo) {
      EXPECT_EQ(p.openCurrentUserStore(u"MY"), 0u) << what;
      EXPECT_EQ(p.lastError(), win::kErrorAccessDenied) << what;
    }
    EXPECT_TRUE(fs::exists(containersDir() + "/planted.key")) << what;
    EXPECT_FALSE(fs::exists(containersDir() + "/fresh.key")) << what;
  };
  chmod(containersDir().c_str(), 0777);
  refused("containers writable by others", false);
  chmod(containersDir().c_str(), 0700);
  chmod(root.c_str(), 0770);
  refused("store root writable by the group");
  chmod(root.c_str(), 0700);
  chmod((root + "/stores").c_str(), 0757);
  EXPECT_EQ(p.openCurrentUserStore(u"MY"), 0u);
  EXPECT_EQ(p.lastError(), win::kErrorAccessDenied);
  chmod((root + "/stores").c_str(), 0755);
  chmod((containersDir() + "/planted.key").c_str(), 0666);
  Handle handle = 0;
  EXPECT_FALSE(p.acquireContext(&handle, "planted", kAes, 24, 0));
  EXPECT_EQ(p.lastError(), win::kErrorAccessDenied);
  chmod((containersDir() + "/planted.key").c_str(), 0600);
  EXPECT_TRUE(open("planted"));
  if (geteuid() != 0) GTEST_SKIP() << "a store of another user needs root to make";
  // As root with HOME/XDG_DATA_HOME in another user's directory.
  for (const auto& entry : fs::recursive_directory_iterator(home))
    ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0) << entry.path();
  ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
  refused("the store of user 65534");
}

// A name whose escaped form is 240 bytes is a container like any other; one more byte
// is refused.
TEST_F(LinuxPlatform, EscapedNamesUpTo240Bytes) {
  const std::string longest = std::string(237, 'a') + " ";  // " " escapes to 3 bytes
  EXPECT_EQ(newKey(longest, 512).size(), 20u + 64u);
  ProviderContext context = open(longest);
  EXPECT_EQ(enumerate(context.get()), std::vector<std::string>{longest});
  Handle handle = 0;
  EXPECT_FALSE(p.acquireContext(&handle, ("b" + longest).c_str(), kAes, 24, win::kCryptNewKeySet));
  EXPECT_EQ(p.lastError(), 0x8009001Fu);  // NTE_BAD_KEYSET_PARAM
}

TEST_F(LinuxPlatform, CertificateContextNeedsOneDerCertificate) {
  const std::string pem = "-----BEGIN CERTIFICATE-----";
  const Bytes garbage(pem.begin(), pem.end());
  EXPECT_EQ(p.createCertificateContext(garbage.data(), static_cast<std::uint32_t>(garbage.size())),
            0u);
  EXPECT_EQ(p.lastError(), win::kAsn1BadTag);
  EXPECT_EQ(p.createCertificateContext(nullptr, 0), 0u);
}

// The process code page is UTF-8: the length counts UTF-16 units and the zero; bytes
// that are not UTF-8 fail; a name converted back is the same text.
TEST_F(LinuxPlatform, WideTextIsUtf16OfUtf8) {
  const std::string text = "C\xC3\xA9 \xF0\x9F\x94\x91";  // "Cé " and a key emoji
  ASSERT_EQ(p.toWide(text, nullptr, 0), 6);
  std::u16string wide(6, u'x');
  ASSERT_EQ(p.toWide(text, wide.data(), 6), 6);
  EXPECT_EQ(wide, std::u16string(u"C\u00e9 \U0001F511") + u'\0');
  EXPECT_EQ(p.toNarrow(wide.substr(0, 5)), text);
  EXPECT_EQ(p.toWide(text, wide.data(), 5), 0);
  for (const std::string bad : {"\xC3", "\xFF", "\xED\xA0\x80", "\xC0\xAF"}) {
    EXPECT_EQ(p.toWide(bad, nullptr, 0), 0);
    EXPECT_EQ(p.lastError(), 1113u);
  }
  EXPECT_EQ(p.toNarrow(u"ab\xD800" u"cd"), "ab");  // an unpaired surrogate ends the text
}

// A container whose key was encrypted by hand is a container without a usable key: no
// pass phrase is asked for on the console or read from standard input (which holds the
// right one here).
TEST_F(LinuxPlatform, EncryptedContainerKeyIsNotPromptedFor) {
  EVP_PKEY* generated = EVP_RSA_gen(1024);
  ASSERT_NE(generated, nullptr);
  BIO* bio = BIO_new(BIO_s_mem());
  ASSERT_EQ(PEM_write_bio_PKCS8PrivateKey(bio, generated, EVP_aes_128_cbc(), nullptr, 0, nullptr,
                                          const_cast<char*>("secret")),
            1);
  char* pem = nullptr;
  const long pemSize = BIO_get_mem_data(bio, &pem);
  { ProviderContext context = open("enc", win::kCryptNewKeySet); }
  {
    std::ofstream file(containersDir() + "/enc.key", std::ios::app | std::ios::binary);
    file.write(pem, pemSize);
  }
  BIO_free(bio);
  EVP_PKEY_free(generated);

  int input[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(write(input[1], "secret\n", 7), 7);
  close(input[1]);
  const int savedStdin = dup(0);
  dup2(input[0], 0);
  close(input[0]);
  ::testing::internal::CaptureStderr();
  ProviderContext context = open("enc");
  CryptKey key(p);
  const bool opened = p.getUserKey(context.get(), win::kKeyExchange, key.out());
  const std::uint32_t error = p.lastError();
  const std::string printed = ::testing::internal::GetCapturedStderr();
  dup2(savedStdin, 0);
  close(savedStdin);
  EXPECT_FALSE(opened);
  EXPECT_EQ(error, win::kNoKey);
  EXPECT_EQ(printed, "");
}

// Without XDG_DATA_HOME (or with a relative one) the data go to ~/.local/share/ankor.
TEST_F(LinuxPlatform, DataDirectoryFallsBackToHome) {
  const std::string savedHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", "relative/dir", 1);
  { ProviderContext context = open("h", win::kCryptNewKeySet); }
  EXPECT_TRUE(fs::exists(home + "/.local/share/ankor/containers/h.key"));
  unsetenv("XDG_DATA_HOME");
  { ProviderContext context = open("h"); }
  setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
}  // namespace ankor::capi
