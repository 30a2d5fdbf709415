#include "ankor/pkcs11/store.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "ankor/pkcs11/error.h"

namespace ankor::pkcs11 {
namespace {

constexpr CK_ULONG kMinimumFreePublicMemory = 7168;
// Far above the mechanisms of any real token.
constexpr CK_ULONG kMaxMechanismCount = 4096;
constexpr const char* kImportFailure = "Erro na importa\xC3\xA7\xC3\xA3o do certificado: ";
constexpr const char* kNotACertificate =
    "Erro na importa\xC3\xA7\xC3\xA3o do certificado: o certificado nao e um X.509 em DER";

// "[ERROR] P11Store.<value> - <function>, rv: <code>": the text a value reads as when
// its call failed.
std::string callFailure(const char* value, const CallResult& failed) {
  return std::string("[ERROR] P11Store.") + value + " - " + failed.text();
}

}  // namespace

std::uint64_t memoryFigure(CK_ULONG value) {
  return value == CK_UNAVAILABLE_INFORMATION ? 0xFFFFFFFFu : static_cast<std::uint64_t>(value);
}

std::string P11Store::getManufacturerId() const {
  CK_SLOT_INFO info{};
  const CallResult read = P11_CALL(*module_, C_GetSlotInfo, slot_, &info);
  if (!read.ok()) return callFailure("getManufacturerId", read);
  return fixedFieldText(info.manufacturerID, sizeof info.manufacturerID + 1);
}

std::string P11Store::description() const {
  CK_SLOT_INFO info{};
  const CallResult read = P11_CALL(*module_, C_GetSlotInfo, slot_, &info);
  if (!read.ok()) return callFailure("description", read);
  return fixedFieldText(info.slotDescription, sizeof info.slotDescription + 1);
}

std::string P11Store::label() const {
  CK_TOKEN_INFO info{};
  const CallResult read = P11_CALL(*module_, C_GetTokenInfo, slot_, &info);
  if (!read.ok()) return callFailure("label", read);
  return fixedFieldText(info.label, sizeof info.label + 1);
}

std::string P11Store::model() const {
  CK_TOKEN_INFO info{};
  const CallResult read = P11_CALL(*module_, C_GetTokenInfo, slot_, &info);
  if (!read.ok()) return callFailure("model", read);
  return fixedFieldText(info.model, sizeof info.model + 1);
}

std::string P11Store::serial() const {
  CK_TOKEN_INFO info{};
  const CallResult read = P11_CALL(*module_, C_GetTokenInfo, slot_, &info);
  if (!read.ok()) return callFailure("serial", read);
  return fixedFieldText(info.serialNumber, sizeof info.serialNumber + 1);
}

CK_ULONG P11Store::freePublicMemory() const {
  CK_TOKEN_INFO info{};
  if (!P11_CALL(*module_, C_GetTokenInfo, slot_, &info).ok()) return 0;
  return info.ulFreePublicMemory;
}

CK_ULONG P11Store::freePrivateMemory() const {
  CK_TOKEN_INFO info{};
  if (!P11_CALL(*module_, C_GetTokenInfo, slot_, &info).ok()) return 0;
  return info.ulFreePrivateMemory;
}

nlohmann::json P11Store::getInfo() const {
  nlohmann::json info = nlohmann::json::object();
  info["manufacturerId"] = getManufacturerId();
  info["slotDescription"] = description();
  info["tokenLabel"] = label();
  info["tokenModel"] = model();
  info["serial"] = serial();
  info["freePublicMemory"] = memoryFigure(freePublicMemory());
  info["freePrivateMemory"] = memoryFigure(freePrivateMemory());
  info["type"] = code();
  info["slotId"] = std::to_string(slot_);
  return info;
}

void P11Store::checkLoginState(const std::string& pin) const {
  CK_TOKEN_INFO info{};
  const bool known = P11_CALL(*module_, C_GetTokenInfo, slot_, &info).ok();
  if (known && (info.flags & CKF_USER_PIN_LOCKED) != 0) throw std::runtime_error(kPinLocked);
  // A token that wants a login but has no user PIN to log in with. One that wants none
  // (a read-only trust store) is left to its own answers.
  if (known && (info.flags & CKF_LOGIN_REQUIRED) != 0 &&
      (info.flags & CKF_USER_PIN_INITIALIZED) == 0) {
    throw std::runtime_error(kPinNotInitialized);
  }
  // A login without PIN is the reader's PIN pad; any other token counts it as a
  // wrong PIN.
  const bool pinPad = known && (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
  if ((pin.empty() || pin == "ND") && !pinPad) throw std::runtime_error(kNoPinGiven);
}

P11Session& P11Store::openSession(const std::string& pin, bool readWrite) {
  session_.reset();
  if (readWrite) checkLoginState(pin);
  CK_SESSION_HANDLE handle = 0;
  const CK_FLAGS flags = readWrite ? (CKF_SERIAL_SESSION | CKF_RW_SESSION) : CKF_SERIAL_SESSION;
  (void)P11_CALL(*module_, C_OpenSession, slot_, flags, nullptr, CK_NOTIFY{nullptr}, &handle);
  P11Session& session = session_.emplace(*module_, handle, *digester_);
  if (!readWrite) return session;
  if (handle == 0) throw NoSessionOpen{};

  CallResult login{"C_Login", CKR_OK};
  if (pin.empty() || pin == "ND") {
    // No PIN: the login through the reader's protected authentication path.
    login = P11_CALL(*module_, C_Login, handle, CK_USER_TYPE{CKU_USER}, nullptr, CK_ULONG{0});
  } else {
    std::vector<CK_UTF8CHAR> buffer(pin.begin(), pin.end());
    login = P11_CALL(*module_, C_Login, handle, CK_USER_TYPE{CKU_USER}, buffer.data(),
                     static_cast<CK_ULONG>(buffer.size()));
    secureWipe(buffer.data(), buffer.size());
  }
  if (!login.ok()) throw std::runtime_error(loginFailureText(login.code));
  return session;
}

bool P11Store::offersRawRsa() const {
  CK_ULONG count = 0;
  if (!P11_CALL(*module_, C_GetMechanismList, slot_, nullptr, &count).ok() ||
      count > kMaxMechanismCount) {
    return true;
  }
  std::vector<CK_MECHANISM_TYPE> mechanisms(count);
  if (!P11_CALL(*module_, C_GetMechanismList, slot_, mechanisms.data(), &count).ok()) return true;
  mechanisms.resize(std::min<std::size_t>(count, mechanisms.size()));
  return std::find(mechanisms.begin(), mechanisms.end(), CKM_RSA_PKCS) != mechanisms.end();
}

void P11Store::closeSession() {
  if (!session_) return;
  // The session is discarded whether or not close() raises.
  std::optional<P11Session> current = std::move(session_);
  session_.reset();
  current->close();
}

template <typename Extend>
Records P11Store::certificateRecords(Extend&& extend) {
  P11Session& session = openSession("", false);
  const std::string type = code();
  const std::string tokenSerial = serial();
  Records records;
  CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
  CK_ATTRIBUTE byClass = {CKA_CLASS, &certificateClass, sizeof certificateClass};
  for (const CK_OBJECT_HANDLE certificate : session.findObjects(&byClass, 1)) {
    nlohmann::json record = {
        {"type", type}, {"serial", tokenSerial}, {"thumbprint", session.thumbprint(certificate)}};
    extend(session, certificate, record);
    records.push_back(std::move(record));
  }
  closeSession();
  return records;
}

Records P11Store::listCertificates() {
  return certificateRecords([](const P11Session&, CK_OBJECT_HANDLE, nlohmann::json&) {});
}

Records P11Store::listCertificateDetails(const CertificateDecoder& decoder) {
  return certificateRecords([&](const P11Session& session, CK_OBJECT_HANDLE certificate,
                                nlohmann::json& record) {
    const Bytes id = session.getAttribute(certificate, CKA_ID);
    record["id"] = base64Encode(id);
    record["label"] = session.getAttributeText(certificate, CKA_LABEL);
    putCertificateMembers(record, session.getAttribute(certificate, CKA_VALUE), decoder);
    record["privateKey"] =
        session.findObject(CKO_PRIVATE_KEY, std::string(id.begin(), id.end())) != 0;
  });
}

Records P11Store::listObjects(const std::string& pin) {
  P11Session& session = openSession(pin, true);
  Records records;
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE byClass = {CKA_CLASS, &privateClass, sizeof privateClass};
  for (const CK_OBJECT_HANDLE privateKey : session.findObjects(&byClass, 1)) {
    const Bytes id = session.getAttribute(privateKey, CKA_ID);
    const std::string idText = id.empty() ? std::string() : base64Encode(id);
    Bytes idBytes = base64Decode(idText);
    CK_ATTRIBUTE byId = {CKA_ID, idBytes.data(), static_cast<CK_ULONG>(idBytes.size())};
    nlohmann::json record = {{"id", idText},          {"label", ""},
                             {"publicKey", false},    {"privateKey", false},
                             {"certificate", false}};
    for (const CK_OBJECT_HANDLE object : session.findObjects(&byId, 1)) {
      const auto objectClass = session.getClass(object);
      const char* flag = !objectClass                         ? nullptr
                         : *objectClass == CKO_CERTIFICATE   ? "certificate"
                         : *objectClass == CKO_PUBLIC_KEY    ? "publicKey"
                         : *objectClass == CKO_PRIVATE_KEY   ? "privateKey"
                                                              : nullptr;
      if (flag == nullptr) continue;
      record[flag] = true;
      record["label"] = session.getAttributeText(object, CKA_LABEL);
    }
    records.push_back(std::move(record));
  }
  closeSession();
  return records;
}

std::string P11Store::createKeyPair(const std::string& label, const std::string& pin,
                                    int keySize) {
  P11Session& session = openSession(pin, true);
  if (freePublicMemory() <= kMinimumFreePublicMemory) {
    throw std::runtime_error(
        "Token nao possui espaco suficiente para criacao de chave e posterior importacao de "
        "certificado");
  }
  std::string result = session.generateKeyPair(label, keySize);
  closeSession();
  return result;
}

std::string P11Store::getPublicKey(const std::string& keyIdBase64) {
  P11Session& session = openSession("", false);
  const Bytes idBytes = base64Decode(keyIdBase64);
  const std::string keyId(idBytes.begin(), idBytes.end());
  std::string result;
  if (const CK_OBJECT_HANDLE publicKey = session.findObject(CKO_PUBLIC_KEY, keyId)) {
    result = base64Encode(session.getAttribute(publicKey, CKA_MODULUS));
  }
  closeSession();
  return result;
}

std::string P11Store::importCertificate(const std::string& keyIdBase64,
                                        const std::string& typeCode, const std::string& label,
                                        const std::string& certificateBase64,
                                        const std::string& pin) {
  Bytes certificate = base64Decode(certificateBase64);
  // Only one DER X.509 certificate is written as one, before any session is opened.
  const std::optional<DecodedCertificate> parts =
      decoder_ != nullptr ? decoder_->parse(certificate) : std::nullopt;
  if (!parts) throw std::runtime_error(kNotACertificate);
  P11Session& session = openSession(pin, true);
  Bytes keyId = base64Decode(keyIdBase64);
  std::string labelBytes = label;
  Bytes subject = parts->subject, issuer = parts->issuer;
  Bytes serialNumber = derInteger(parts->serial);
  CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
  CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  auto bytesOf = [](Bytes& value) {
    return CK_ATTRIBUTE{0, value.data(), static_cast<CK_ULONG>(value.size())};
  };
  auto typed = [](CK_ATTRIBUTE_TYPE type, CK_ATTRIBUTE attribute) {
    attribute.type = type;
    return attribute;
  };
  std::vector<CK_ATTRIBUTE> attributes = {
      {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType},
      typed(CKA_VALUE, bytesOf(certificate)),
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_CLASS, &certificateClass, sizeof certificateClass},
      typed(CKA_ID, bytesOf(keyId)),
      {CKA_LABEL, labelBytes.data(), static_cast<CK_ULONG>(labelBytes.size())},
  };
  // Code AT's tokens also get CKA_PRIVATE and CKA_MODIFIABLE; every token gets the
  // certificate's own DER subject, issuer and serial number, by which applications
  // find a certificate (and without which conforming modules refuse it).
  if (typeCode == "AT") {
    attributes.push_back({CKA_PRIVATE, &no, sizeof no});
    attributes.push_back({CKA_MODIFIABLE, &yes, sizeof yes});
  }
  attributes.push_back(typed(CKA_ISSUER, bytesOf(issuer)));
  attributes.push_back(typed(CKA_SERIAL_NUMBER, bytesOf(serialNumber)));
  attributes.push_back(typed(CKA_SUBJECT, bytesOf(subject)));
  CK_OBJECT_HANDLE object = 0;
  const CallResult created =
      P11_CALL(*module_, C_CreateObject, session.handle(), attributes.data(),
               static_cast<CK_ULONG>(attributes.size()), &object);
  if (!created.ok()) {
    throw std::runtime_error(std::string(kImportFailure) + deviceFailureText(created.code));
  }
  closeSession();
  return "certificado adicionado com sucesso: " + keyIdBase64;
}

std::string P11Store::signWithKeyId(const std::string& dataBase64, const std::string& keyId,
                                    const std::string& pin, const std::string& hashName,
                                    bool isHash) {
  const bool rawRsa = offersRawRsa();
  P11Session& session = openSession(pin, true);
  std::string result = session.signSteps(dataBase64, keyId, hashName, isHash, rawRsa);
  closeSession();
  return result;
}

std::string P11Store::keyIdOfCertificate(const std::string& thumbprint) {
  P11Session& session = openSession("", false);
  std::string keyId = session.findKeyIdByThumbprint(thumbprint);
  closeSession();
  return keyId;
}

nlohmann::json P11Store::signBatch(const std::string& keyId, const std::string& pin,
                                   const std::vector<BatchItem>& items) {
  const bool rawRsa = offersRawRsa();
  if (!rawRsa) {
    for (std::size_t index = 0; index < items.size(); ++index) {
      if (items[index].hashed) {
        throw std::runtime_error(batchItemFailure(index, items[index].id, kDigestNeedsRawRsa));
      }
    }
  }
  P11Session& session = openSession(pin, true);
  const CK_OBJECT_HANDLE privateKey = session.findObject(CKO_PRIVATE_KEY, keyId);
  if (privateKey == 0) throw std::runtime_error("Chave privada nao encontrada");
  nlohmann::json signatures = nlohmann::json::array();
  for (std::size_t index = 0; index < items.size(); ++index) {
    const BatchItem& item = items[index];
    const Bytes signature =
        rawRsa ? session.signDigestInfo(privateKey, item.digestInfo)
               : session.signWith(privateKey, hashingMechanism(item.algorithm), item.data);
    // Nothing is returned once one element fails: the whole list is refused.
    if (signature.empty()) {
      throw std::runtime_error(batchItemFailure(index, item.id, "Erro na assinatura"));
    }
    signatures.push_back(
        {{"data", item.value}, {"id", item.id}, {"signed", base64Encode(signature)}});
  }
  closeSession();
  return signatures;
}

}  // namespace ankor::pkcs11
