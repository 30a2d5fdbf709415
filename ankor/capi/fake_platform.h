// A scriptable CryptoPlatform for unit tests: it answers with chosen providers,
// containers, blobs and signatures, fails any chosen call (by name and occurrence)
// with a chosen last error, records what it was asked and counts open handles.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ankor/capi/platform.h"

namespace ankor::capi {

class FakePlatform final : public CryptoPlatform {
 public:
  // Script --------------------------------------------------------------------------
  // The occurrence-th call (1-based) of the named call fails with error; 0 = every call.
  void failOn(const std::string& call, std::uint32_t error, int occurrence = 1) {
    failures_.push_back({call, occurrence, error});
  }
  std::vector<std::pair<std::string, std::uint32_t>> providers;
  std::vector<std::string> containers;
  Bytes publicKeyBlob;  // what exportKey(PUBLICKEYBLOB) gives
  Bytes nameDer = {0x30, 0x00};
  Bytes publicKeyInfo = {0xAA, 0xBB, 0xCC};
  Bytes request = {0x30, 0x03, 0x02, 0x01, 0x00};
  Bytes signature = {0x01, 0x02, 0x03};  // least significant byte first, as the platform gives it
  Bytes digestValue = Bytes(20, 0xD1);       // what getHashParam(HP_HASHVAL) gives
  std::optional<KeyProvInfo> storedRecord;  // the record of the certificate found by thumbprint
  // The "MY" store as enumCertificatesInStore walks it, each with its record.
  struct StoredCertificate {
    Bytes der;
    std::optional<KeyProvInfo> record;
  };
  std::vector<StoredCertificate> storeCertificates;

  // Record --------------------------------------------------------------------------
  struct Acquire {
    std::string container;
    std::string provider;
    std::uint32_t type;
    std::uint32_t flags;
  };
  std::vector<std::string> calls;
  std::vector<Acquire> acquires;
  std::vector<std::uint32_t> genKeyFlags;
  std::vector<std::uint32_t> hashAlgorithms;
  std::vector<Bytes> hashedData;
  std::vector<Bytes> hashValues;
  std::vector<std::uint32_t> signKeySpecs;
  std::vector<NameAttribute> encodedAttributes;
  std::vector<std::uint32_t> requestKeySpecs;
  std::string requestSignatureOid;
  Bytes requestSubject;
  Bytes requestPublicKeyInfo;
  Bytes keyParamData;
  Bytes foundThumbprint;
  Bytes createdCertificate;
  std::uint32_t addDisposition = 0;
  std::optional<KeyProvInfo> setRecord;
  int openHandles = 0;

  int count(const std::string& call) const {
    int n = 0;
    for (const auto& c : calls) n += c == call ? 1 : 0;
    return n;
  }

  // CryptoPlatform ------------------------------------------------------------------
  std::uint32_t lastError() override { return lastError_; }
  void setLastError(std::uint32_t code) override { lastError_ = code; }

  bool enumProviders(std::uint32_t index, std::uint32_t* type, char* name,
                     std::uint32_t* size) override {
    if (fails("enumProviders")) return false;
    if (index >= providers.size()) return fail(win::kErrorNoMoreItems);
    *type = providers[index].second;
    return deliver(providers[index].first, reinterpret_cast<std::uint8_t*>(name), size);
  }
  bool acquireContext(Handle* provider, const char* container, const char* providerName,
                      std::uint32_t type, std::uint32_t flags) override {
    acquires.push_back({container != nullptr ? container : "<null>",
                        providerName != nullptr ? providerName : "<null>", type, flags});
    if (fails("acquireContext")) return false;
    *provider = open();
    enumIndex_ = 0;
    return true;
  }
  bool releaseContext(Handle) override { return close("releaseContext"); }
  bool getProvParam(Handle, std::uint32_t param, std::uint8_t* data, std::uint32_t* length,
                    std::uint32_t flags) override {
    if (fails(flags == win::kCryptFirst ? "getProvParam(FIRST)" : "getProvParam(NEXT)")) {
      return false;
    }
    if (param != win::kParamEnumContainers) return fail(win::kBadType);
    if (flags == win::kCryptFirst) enumIndex_ = 0;
    if (enumIndex_ >= containers.size()) return fail(win::kErrorNoMoreItems);
    if (!deliver(containers[enumIndex_], data, length)) return false;
    ++enumIndex_;
    return true;
  }
  bool genKey(Handle, std::uint32_t, std::uint32_t flags, Handle* key) override {
    genKeyFlags.push_back(flags);
    if (fails("genKey")) return false;
    *key = open();
    return true;
  }
  bool getUserKey(Handle, std::uint32_t, Handle* key) override {
    if (fails("getUserKey")) return false;
    *key = open();
    return true;
  }
  bool exportKey(Handle, std::uint32_t, std::uint8_t* data, std::uint32_t* length) override {
    if (fails("exportKey")) return false;
    return deliverBytes(publicKeyBlob, data, length);
  }
  bool setKeyParam(Handle, std::uint32_t, const std::uint8_t* data, std::uint32_t size) override {
    keyParamData.assign(data, data + size);
    return !fails("setKeyParam");
  }
  bool destroyKey(Handle) override { return close("destroyKey"); }
  bool createHash(Handle, std::uint32_t algorithm, Handle* hash) override {
    hashAlgorithms.push_back(algorithm);
    if (fails("createHash")) return false;
    *hash = open();
    return true;
  }
  bool hashData(Handle, const std::uint8_t* data, std::uint32_t size) override {
    hashedData.emplace_back(data, data + size);
    return !fails("hashData");
  }
  bool setHashParam(Handle, std::uint32_t, const std::uint8_t* data) override {
    // The length of the selected algorithm's digest.
    const std::size_t size = hashAlgorithms.empty()                       ? 0
                             : hashAlgorithms.back() == win::kAlgSha1    ? 20
                             : hashAlgorithms.back() == win::kAlgSha512 ? 64
                                                                          : 32;
    hashValues.emplace_back(data, data + size);
    return !fails("setHashParam");
  }
  bool getHashParam(Handle, std::uint32_t param, std::uint8_t* data,
                    std::uint32_t* length) override {
    if (fails(param == win::kHashParamSize ? "getHashParam(SIZE)" : "getHashParam(VALUE)")) {
      return false;
    }
    if (param == win::kHashParamSize) {
      const auto size = static_cast<std::uint32_t>(digestValue.size());
      return deliverBytes(Bytes{static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                                static_cast<std::uint8_t>(size >> 16),
                                static_cast<std::uint8_t>(size >> 24)},
                          data, length);
    }
    return deliverBytes(digestValue, data, length);
  }
  bool signHash(Handle, std::uint32_t keySpec, std::uint8_t* out, std::uint32_t* length) override {
    signKeySpecs.push_back(keySpec);
    if (fails("signHash")) return false;
    return deliverBytes(signature, out, length);
  }
  bool destroyHash(Handle) override { return close("destroyHash"); }
  bool encodeName(const NameAttribute* attributes, std::uint32_t count, std::uint8_t* out,
                  std::uint32_t* length) override {
    encodedAttributes.assign(attributes, attributes + count);
    if (fails("encodeName")) return false;
    return deliverBytes(nameDer, out, length);
  }
  bool exportPublicKeyInfo(Handle, std::uint32_t, std::uint8_t* info,
                           std::uint32_t* length) override {
    if (fails("exportPublicKeyInfo")) return false;
    return deliverBytes(publicKeyInfo, info, length);
  }
  bool signAndEncodeRequest(Handle, std::uint32_t keySpec, const RequestInfo& info,
                            const char* oid, std::uint8_t* out, std::uint32_t* length) override {
    requestKeySpecs.push_back(keySpec);
    requestSignatureOid = oid;
    requestSubject = info.subject;
    requestPublicKeyInfo.assign(info.publicKeyInfo, info.publicKeyInfo + publicKeyInfo.size());
    if (fails("signAndEncodeRequest")) return false;
    return deliverBytes(request, out, length);
  }
  Handle openCurrentUserStore(const char16_t*) override {
    if (fails("openCurrentUserStore")) return 0;
    return open();
  }
  bool closeStore(Handle, std::uint32_t) override { return close("closeStore"); }
  Handle findCertificateBySha1(Handle, const std::uint8_t* hash, std::uint32_t size) override {
    foundThumbprint.assign(hash, hash + size);
    if (fails("findCertificateBySha1")) return 0;
    return open();
  }
  Handle enumCertificatesInStore(Handle, Handle previous) override {
    std::size_t next = 0;
    if (previous != 0) {
      next = enumerated_.at(previous) + 1;
      enumerated_.erase(previous);
      (void)close("freeCertificateContext");
    }
    if (fails("enumCertificatesInStore")) return 0;
    if (next >= storeCertificates.size()) {
      (void)fail(win::kNotFound);
      return 0;
    }
    const Handle handle = open();
    enumerated_[handle] = next;
    return handle;
  }
  bool getEncodedCertificate(Handle certificate, Bytes* der) override {
    if (fails("getEncodedCertificate")) return false;
    *der = storeCertificates.at(enumerated_.at(certificate)).der;
    return true;
  }
  Handle createCertificateContext(const std::uint8_t* der, std::uint32_t size) override {
    createdCertificate.assign(der, der + size);
    if (fails("createCertificateContext")) return 0;
    return open();
  }
  bool addCertificateToStore(Handle, Handle, std::uint32_t disposition, Handle* added) override {
    addDisposition = disposition;
    if (fails("addCertificateToStore")) return false;
    *added = open();
    return true;
  }
  bool getKeyProvInfo(Handle certificate, KeyProvInfo* info, std::uint32_t* size) override {
    if (fails("getKeyProvInfo")) return false;
    const auto found = enumerated_.find(certificate);
    const std::optional<KeyProvInfo>& record =
        found != enumerated_.end() ? storeCertificates.at(found->second).record : storedRecord;
    if (!record) return fail(win::kNotFound);
    if (info == nullptr) {
      *size = 64;
      return true;
    }
    *info = *record;
    return true;
  }
  bool setKeyProvInfo(Handle, const KeyProvInfo& info) override {
    setRecord = info;
    return !fails("setKeyProvInfo");
  }
  bool freeCertificateContext(Handle certificate) override {
    enumerated_.erase(certificate);
    return close("freeCertificateContext");
  }
  int toWide(const std::string& text, char16_t* wide, int count) override {
    if (fails(wide == nullptr ? "toWide(LENGTH)" : "toWide(CONVERT)")) return 0;
    const int needed = static_cast<int>(text.size()) + 1;
    if (wide == nullptr) return needed;
    if (count < needed) {
      (void)fail(ERROR_INSUFFICIENT_BUFFER_);
      return 0;
    }
    std::copy(text.begin(), text.end(), wide);  // ASCII in the tests
    wide[text.size()] = 0;
    return needed;
  }
  std::string toNarrow(const std::u16string& wide) override {
    return std::string(wide.begin(), wide.end());
  }
  // The code page of the fake is Latin-1: each byte is the character of that number.
  std::string ansiToUtf8(const std::string& text) override {
    calls.push_back("ansiToUtf8");
    std::string out;
    for (const char ch : text) {
      const auto c = static_cast<unsigned char>(ch);
      if (c < 0x80) {
        out += ch;
      } else {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return out;
  }

 private:
  struct Failure {
    std::string call;
    int occurrence;
    std::uint32_t error;
  };

  // Records the call and tells whether the script fails this occurrence of it.
  bool fails(const std::string& call) {
    calls.push_back(call);
    const int n = count(call);
    for (const Failure& f : failures_) {
      if (f.call == call && (f.occurrence == 0 || f.occurrence == n)) return !fail(f.error);
    }
    return false;
  }
  bool fail(std::uint32_t error) {
    lastError_ = error;
    return false;
  }
  Handle open() {
    ++openHandles;
    return nextHandle_++;
  }
  bool close(const char* call) {
    calls.push_back(call);
    --openHandles;
    // Releasing resets the last error, as some platform calls do: the operations must
    // have read it before.
    lastError_ = 0;
    return true;
  }
  bool deliver(const std::string& text, std::uint8_t* out, std::uint32_t* length) {
    Bytes value(text.begin(), text.end());
    value.push_back(0);
    return deliverBytes(value, out, length);
  }
  bool deliverBytes(const Bytes& value, std::uint8_t* out, std::uint32_t* length) {
    const auto needed = static_cast<std::uint32_t>(value.size());
    if (out == nullptr) {
      *length = needed;
      return true;
    }
    if (*length < needed) {
      *length = needed;
      return fail(win::kErrorMoreData);
    }
    std::copy(value.begin(), value.end(), out);
    *length = needed;
    return true;
  }

  static constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_ = 122;
  std::vector<Failure> failures_;
  std::uint32_t lastError_ = 0;
  std::size_t enumIndex_ = 0;
  std::map<Handle, std::size_t> enumerated_;  // enumerated context -> storeCertificates index
  Handle nextHandle_ = 100;
};

}  // namespace ankor::capi
