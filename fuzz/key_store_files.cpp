// The Linux key store's files, through the platform's own calls: a key container file
// and a certificate store entry holding any bytes (a user's own directory can hold
// anything), and a container created under any name.
// Oracle: each file loads or is refused without a crash or leak; the file formats read
// back what they write and escaped names use the file-name alphabet only; a name within
// the documented limits is accepted, listed back exactly as given (the escaping of file
// names round-trips), found again in another letter case, and deleted.
#include <openssl/evp.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ankor/capi/platform.h"
#include "ankor/capi/store_format_linux.h"
#include "ankor/capi/text_linux.h"
#include "common/testing/temp_dir.h"
#include "fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using namespace ankor::capi;

constexpr const char* kProvider = "Microsoft Enhanced RSA and AES Cryptographic Provider";
constexpr std::uint32_t kAesType = 24;
constexpr std::uint32_t kDeleteKeySet = 0x10;

// A private data directory for the whole run, removed at exit.
struct DataHome {
  DataHome() {
    setenv("XDG_DATA_HOME", root.c_str(), 1);
    containers = root / "ankor" / "containers";
    store = root / "ankor" / "stores" / "MY";
  }
  // In memory where there is a /dev/shm: the target writes and deletes files each run.
  tarvo::testing::TempDir dir{"ankor-fuzz", fs::is_directory("/dev/shm") ? "/dev/shm" : ""};
  fs::path root = dir.path(), containers, store;
};

DataHome& dataHome() {
  static DataHome home;
  return home;
}

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  FUZZ_CHECK(out.good());
}

std::vector<std::string> listContainers(CryptoPlatform& platform, Handle provider) {
  std::vector<std::string> names;
  std::uint32_t longest = 0;
  FUZZ_CHECK(platform.getProvParam(provider, win::kParamEnumContainers, nullptr, &longest,
                                   win::kCryptFirst));
  std::vector<std::uint8_t> buffer(longest);
  for (std::uint32_t flags = win::kCryptFirst;; flags = win::kCryptNext) {
    std::uint32_t length = longest;
    if (!platform.getProvParam(provider, win::kParamEnumContainers, buffer.data(), &length, flags)) {
      FUZZ_CHECK(platform.lastError() == win::kErrorNoMoreItems, "listing failed with %x",
                 platform.lastError());
      break;
    }
    FUZZ_CHECK(length >= 1 && length <= longest && buffer[length - 1] == 0);
    names.emplace_back(reinterpret_cast<const char*>(buffer.data()), length - 1);
  }
  return names;
}

// A container file of any content: opened or refused, its key read or not, listed.
void loadContainerFile(CryptoPlatform& platform, const std::string& content) {
  writeFile(dataHome().containers / "fuzzed.key", content);
  Handle provider = 0;
  if (platform.acquireContext(&provider, "fuzzed", kProvider, kAesType, 0)) {
    Handle key = 0;
    if (platform.getUserKey(provider, win::kKeyExchange, &key)) {
      std::uint32_t length = 0;
      if (platform.exportKey(key, win::kPublicKeyBlob, nullptr, &length)) {
        std::vector<std::uint8_t> blob(length);
        (void)platform.exportKey(key, win::kPublicKeyBlob, blob.data(), &length);
      }
      FUZZ_CHECK(platform.destroyKey(key));
    }
    (void)listContainers(platform, provider);
    FUZZ_CHECK(platform.releaseContext(provider));
  }
  fs::remove(dataHome().containers / "fuzzed.key");
}

// The DER bytes a store entry's PEM block holds, read here independently, so that the
// entry can be put under the name the store looks it up by.
std::vector<std::uint8_t> pemBody(const std::string& content) {
  std::string base64;
  bool inside = false;
  std::size_t at = 0;
  while (at < content.size()) {
    const std::size_t end = content.find('\n', at);
    const std::string line = content.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? content.size() : end + 1;
    if (line.rfind("-----BEGIN", 0) == 0) inside = true;
    else if (line.rfind("-----END", 0) == 0) inside = false;
    else if (inside) base64 += line;
  }
  return ankor::base64Decode(base64);
}

void loadStoreEntry(CryptoPlatform& platform, const std::string& content) {
  const std::vector<std::uint8_t> der = pemBody(content);
  std::uint8_t sha1[20];
  unsigned int size = 0;
  FUZZ_CHECK(EVP_Digest(der.data(), der.size(), sha1, &size, EVP_sha1(), nullptr) == 1);
  const fs::path file = dataHome().store / (ankor::hexEncode(sha1, sizeof sha1) + ".cer");
  writeFile(file, content);

  const Handle store = platform.openCurrentUserStore(u"MY");
  FUZZ_CHECK(store != 0);
  if (const Handle certificate = platform.findCertificateBySha1(store, sha1, sizeof sha1)) {
    std::uint32_t needed = 0;
    if (platform.getKeyProvInfo(certificate, nullptr, &needed)) {
      KeyProvInfo record;
      std::uint32_t length = needed;
      FUZZ_CHECK(platform.getKeyProvInfo(certificate, &record, &length));
      FUZZ_CHECK(length == needed);
      (void)platform.toNarrow(record.containerName);
      (void)platform.toNarrow(record.providerName);
    }
    FUZZ_CHECK(platform.freeCertificateContext(certificate));
  }
  FUZZ_CHECK(platform.closeStore(store, 0));
  fs::remove(file);
}

std::size_t escapedSize(const std::string& name) {
  std::size_t size = 0;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
    size += kept ? 1 : 3;
  }
  return size;
}

void nameRoundTrip(CryptoPlatform& platform, const std::string& name) {
  if (name.empty()) return;  // the login name stands in for an empty one
  const bool fits = name.size() <= 260 && escapedSize(name) <= 240;
  Handle provider = 0;
  const bool created =
      platform.acquireContext(&provider, name.c_str(), kProvider, kAesType, win::kCryptNewKeySet);
  FUZZ_CHECK(created == fits, "name of %zu bytes: created %d, error %x", name.size(), created,
             platform.lastError());
  if (!created) return;
  const std::vector<std::string> names = listContainers(platform, provider);
  FUZZ_CHECK(names.size() == 1 && names[0] == name, "name \"%s\" listed as \"%s\"", name.c_str(),
             names.empty() ? "(nothing)" : names[0].c_str());
  FUZZ_CHECK(platform.releaseContext(provider));

  std::string otherCase = name;
  for (char& c : otherCase) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  FUZZ_CHECK(platform.acquireContext(&provider, otherCase.c_str(), kProvider, kAesType, 0),
             "not found in another letter case");
  FUZZ_CHECK(platform.releaseContext(provider));
  FUZZ_CHECK(platform.acquireContext(&provider, name.c_str(), kProvider, kAesType, kDeleteKeySet));
  FUZZ_CHECK(fs::is_empty(dataHome().containers), "files left after the delete");
}

// The file formats on their own: any text is read or refused, and what the store writes
// reads back as written (names of any bytes, keys, certificates, key-provider records).
void fileFormats(const std::string& name, const std::string& container, const std::string& entry) {
  const std::string escaped = escapeName(name);
  for (const char c : escaped) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '%';
    FUZZ_CHECK(plain, "escaped name holds 0x%02x", static_cast<unsigned char>(c));
  }
  FUZZ_CHECK(unescapeName(escaped) == name, "escaping does not round-trip");
  (void)parseContainerFile(container);
  (void)parseStoreEntry(entry);

  const std::string keyPem = pemBlock("PRIVATE KEY", ankor::Bytes(entry.begin(), entry.end()));
  for (const bool exportable : {false, true}) {
    const auto file = parseContainerFile(containerFileText(name, exportable, keyPem));
    FUZZ_CHECK(file && file->name == name && file->exportable == exportable &&
               file->keyPem == keyPem);
  }

  StoreEntry written;
  written.der.assign(container.begin(), container.end());
  std::u16string wideName;
  if (utf8ToUtf16(name, &wideName)) {
    const std::uint32_t flags = container.empty() ? 0 : static_cast<unsigned char>(container[0]) << 24;
    written.record = KeyProvInfo{wideName, u"Microsoft Enhanced RSA and AES Cryptographic Provider",
                                 kAesType, flags, 1};
  }
  const auto read = parseStoreEntry(storeEntryText(written));
  FUZZ_CHECK(read && read->der == written.der && read->record.has_value() == written.record.has_value());
  if (written.record) {
    const KeyProvInfo& a = *read->record;
    const KeyProvInfo& b = *written.record;
    FUZZ_CHECK(a.containerName == b.containerName && a.providerName == b.providerName &&
               a.providerType == b.providerType && a.flags == b.flags && a.keySpec == b.keySpec);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  (void)dataHome();
  CryptoPlatform& platform = systemPlatform();
  const std::string name = input.until('\0');
  const std::size_t containerLength = input.byte() | (input.byte() << 8);
  const std::string container = input.take(containerLength);
  const std::string entry = input.rest();
  fileFormats(name, container, entry);
  loadContainerFile(platform, container);
  loadStoreEntry(platform, entry);
  nameRoundTrip(platform, name);
  return 0;
}
