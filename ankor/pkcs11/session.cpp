#include "ankor/pkcs11/session.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "ankor/pkcs11/digest_info.h"
#include "ankor/pkcs11/error.h"
#include "ankor/pkcs11/label.h"

namespace ankor::pkcs11 {
namespace {

constexpr std::size_t kMaxLabelBytes = 18;

}  // namespace

CK_MECHANISM_TYPE hashingMechanism(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::Sha1: return CKM_SHA1_RSA_PKCS;
    case DigestAlgorithm::Sha512: return CKM_SHA512_RSA_PKCS;
    case DigestAlgorithm::Sha256: break;
  }
  return CKM_SHA256_RSA_PKCS;
}

P11Session::P11Session(P11Session&& other) noexcept
    : module_(other.module_),
      handle_(std::exchange(other.handle_, 0)),
      digester_(other.digester_) {}

P11Session::~P11Session() {
  if (handle_ == 0) return;
  (void)P11_CALL(*module_, C_Logout, handle_);
  (void)P11_CALL(*module_, C_CloseSession, handle_);
}

void P11Session::close() {
  if (handle_ == 0) throw NoSessionOpen{};
  const CK_SESSION_HANDLE handle = std::exchange(handle_, 0);
  (void)P11_CALL(*module_, C_Logout, handle);
  (void)P11_CALL(*module_, C_CloseSession, handle);
}

std::vector<CK_OBJECT_HANDLE> P11Session::findObjects(CK_ATTRIBUTE* attributes,
                                                      CK_ULONG count) const {
  std::vector<CK_OBJECT_HANDLE> found;
  (void)P11_CALL(*module_, C_FindObjectsInit, handle_, attributes, count);
  while (found.size() < kMaxFoundObjects) {
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG delivered = 0;
    if (!P11_CALL(*module_, C_FindObjects, handle_, &object, CK_ULONG{1}, &delivered).ok() ||
        delivered == 0) {
      break;
    }
    found.push_back(object);
  }
  (void)P11_CALL(*module_, C_FindObjectsFinal, handle_);
  return found;
}

CK_OBJECT_HANDLE P11Session::findObject(CK_OBJECT_CLASS objectClass, const std::string& id) const {
  std::string idBytes = id;
  CK_ATTRIBUTE attributes[] = {
      {CKA_CLASS, &objectClass, sizeof objectClass},
      {CKA_ID, idBytes.data(), static_cast<CK_ULONG>(idBytes.size())},
  };
  const auto found = findObjects(attributes, 2);
  return found.empty() ? 0 : found.front();
}

Bytes P11Session::getAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
  CK_ATTRIBUTE attribute = {type, nullptr, 0};
  // The unavailable length (all ones) is one of the lengths beyond the limit.
  if (!P11_CALL(*module_, C_GetAttributeValue, handle_, object, &attribute, CK_ULONG{1}).ok() ||
      attribute.ulValueLen == 0 || attribute.ulValueLen > kMaxValueLength) {
    return {};
  }
  // One zero byte more than the value, as a text reader of the buffer expects.
  Bytes value(attribute.ulValueLen + 1, 0);
  attribute.pValue = value.data();
  const CallResult read =
      P11_CALL(*module_, C_GetAttributeValue, handle_, object, &attribute, CK_ULONG{1});
  if (!read.ok() || attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION ||
      attribute.ulValueLen >= value.size()) {
    return {};
  }
  value.resize(attribute.ulValueLen);
  return value;
}

std::string P11Session::getAttributeText(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
  return textUpToZero(getAttribute(object, type));
}

std::optional<CK_OBJECT_CLASS> P11Session::getClass(CK_OBJECT_HANDLE object) const {
  CK_OBJECT_CLASS value = 0;
  CK_ATTRIBUTE attribute = {CKA_CLASS, &value, sizeof value};
  if (!P11_CALL(*module_, C_GetAttributeValue, handle_, object, &attribute, CK_ULONG{1}).ok()) {
    return std::nullopt;
  }
  return value;
}

std::string P11Session::thumbprint(CK_OBJECT_HANDLE certificate) const {
  const Bytes value = getAttribute(certificate, CKA_VALUE);
  const auto digest = digester_->digest(DigestAlgorithm::Sha1, value.data(), value.size());
  // An empty thumbprint would list the certificate as one that no thumbprint finds.
  if (!digest) throw std::runtime_error("Erro ao calcular o hash dos dados");
  return hexEncode(*digest);
}

std::string P11Session::findKeyIdByThumbprint(const std::string& wanted) const {
  CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
  CK_ATTRIBUTE byClass = {CKA_CLASS, &certificateClass, sizeof certificateClass};
  for (const CK_OBJECT_HANDLE certificate : findObjects(&byClass, 1)) {
    const Bytes id = getAttribute(certificate, CKA_ID);
    if (thumbprint(certificate) == wanted) return std::string(id.begin(), id.end());
  }
  return "";
}

std::string P11Session::generateKeyPair(const std::string& label, int keySize) const {
  std::string keyLabel = cutOnCharacter(label, kMaxLabelBytes);
  const std::string keyIdText =
      randomAlphanumeric(4) + "-" +
      base64Encode(reinterpret_cast<const std::uint8_t*>(keyLabel.data()), keyLabel.size());
  std::string publicId = keyIdText, privateId = keyIdText;
  std::string publicLabel = keyLabel, privateLabel = keyLabel;
  CK_BBOOL yes = CK_TRUE;
  CK_ULONG modulusBits = static_cast<CK_ULONG>(keySize);
  CK_BYTE exponent[] = {0x01, 0x00, 0x01};
  CK_ATTRIBUTE publicTemplate[] = {
      {CKA_ID, publicId.data(), static_cast<CK_ULONG>(publicId.size())},
      {CKA_LABEL, publicLabel.data(), static_cast<CK_ULONG>(publicLabel.size())},
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_ENCRYPT, &yes, sizeof yes},
      {CKA_VERIFY, &yes, sizeof yes},
      {CKA_MODULUS_BITS, &modulusBits, sizeof modulusBits},
      {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
      {CKA_WRAP, &yes, sizeof yes},
  };
  CK_ATTRIBUTE privateTemplate[] = {
      {CKA_ID, privateId.data(), static_cast<CK_ULONG>(privateId.size())},
      {CKA_LABEL, privateLabel.data(), static_cast<CK_ULONG>(privateLabel.size())},
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_PRIVATE, &yes, sizeof yes},
      {CKA_SENSITIVE, &yes, sizeof yes},
      {CKA_DECRYPT, &yes, sizeof yes},
      {CKA_SIGN, &yes, sizeof yes},
      {CKA_UNWRAP, &yes, sizeof yes},
  };
  CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
  const CallResult generated =
      P11_CALL(*module_, C_GenerateKeyPair, handle_, &mechanism, publicTemplate, CK_ULONG{8},
               privateTemplate, CK_ULONG{8}, &publicKey, &privateKey);
  if (!generated.ok()) {
    return "Erro na geracao do par de chaves: " + deviceFailureText(generated.code);
  }
  return base64Encode(reinterpret_cast<const std::uint8_t*>(keyIdText.data()), keyIdText.size());
}

std::string P11Session::signSteps(const std::string& dataBase64, const std::string& keyId,
                                  const std::string& hashName, bool isHash, bool rawRsa) const {
  const CK_OBJECT_HANDLE privateKey = findObject(CKO_PRIVATE_KEY, keyId);
  const DigestTemplate chosen = digestTemplate(hashName);
  if (privateKey == 0) return "";

  const Bytes data = base64Decode(dataBase64);
  Bytes digest;
  if (isHash) {
    if (data.size() != chosen.digestLength) return "Tamanho data nao condiz com algoritmo utilizado";
    if (!rawRsa) throw std::runtime_error(kDigestNeedsRawRsa);
    digest = data;
  } else if (!rawRsa) {
    // The token hashes the data itself: the same PKCS #1 v1.5 signature.
    return base64Encode(signWith(privateKey, hashingMechanism(chosen.algorithm), data));
  } else {
    auto computed = digester_->digest(chosen.algorithm, data.data(), data.size());
    // Never sign a DigestInfo that holds no digest.
    if (!computed || computed->size() != chosen.digestLength) {
      throw std::runtime_error("Erro ao calcular o hash dos dados");
    }
    digest = std::move(*computed);
  }
  return base64Encode(signDigestInfo(privateKey, digestInfo(chosen, digest)));
}

Bytes P11Session::signDigestInfo(CK_OBJECT_HANDLE privateKey, const Bytes& digestInfo) const {
  return signWith(privateKey, CKM_RSA_PKCS, digestInfo);
}

Bytes P11Session::signWith(CK_OBJECT_HANDLE privateKey, CK_MECHANISM_TYPE mechanismType,
                           const Bytes& data) const {
  Bytes input = data;  // Cryptoki takes a non-const pointer
  CK_MECHANISM mechanism = {mechanismType, nullptr, 0};
  if (!P11_CALL(*module_, C_SignInit, handle_, &mechanism, privateKey).ok()) return {};
  CK_ULONG length = 0;
  if (!P11_CALL(*module_, C_Sign, handle_, input.data(), static_cast<CK_ULONG>(input.size()),
                nullptr, &length).ok() ||
      length == 0 || length > kMaxValueLength) {
    return {};
  }
  Bytes signature(length + 1, 0);
  if (!P11_CALL(*module_, C_Sign, handle_, input.data(), static_cast<CK_ULONG>(input.size()),
                signature.data(), &length).ok() ||
      length >= signature.size()) {
    return {};
  }
  signature.resize(length);
  return signature;
}

}  // namespace ankor::pkcs11
