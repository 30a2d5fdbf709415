// One token (P11Store): a module and a slot, its token and slot information, and the
// operations of the token commands, each in a session of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/core/digest.h"
#include "ankor/core/operations.h"
#include "ankor/pkcs11/batch.h"
#include "ankor/pkcs11/cryptoki.h"
#include "ankor/pkcs11/module.h"
#include "ankor/pkcs11/session.h"

namespace ankor::pkcs11 {

// A memory figure as the host reads it: CK_UNAVAILABLE_INFORMATION is 4294967295 on
// every target (all ones of a 32-bit CK_ULONG), whatever the width of CK_ULONG.
std::uint64_t memoryFigure(CK_ULONG value);

class P11Store final : public TokenStore {
 public:
  // decoder takes certificates apart for importCertificate (parse); without one
  // nothing is imported.
  P11Store(const P11Module& module, CK_SLOT_ID slot, const Digester& digester,
           const CertificateDecoder* decoder = nullptr)
      : module_(&module), slot_(slot), digester_(&digester), decoder_(decoder) {}
  // The current session is closed before its module is finalised.
  ~P11Store() override = default;
  P11Store(const P11Store&) = delete;  // one owner of the current session
  P11Store& operator=(const P11Store&) = delete;

  // C_GetSlotInfo / C_GetTokenInfo, one call per value.
  std::string getManufacturerId() const;
  std::string description() const;
  std::string label() const;
  std::string model() const;
  std::string serial() const;
  CK_ULONG freePublicMemory() const;
  CK_ULONG freePrivateMemory() const;
  nlohmann::json getInfo() const;
  [[nodiscard]] CK_SLOT_ID slot() const { return slot_; }
  [[nodiscard]] const std::string& code() const { return module_->code(); }

  // C_OpenSession (and C_Login when readWrite) on the store's slot; the PIN bytes
  // are wiped from our buffer after the login. Throws the login texts or NoSessionOpen.
  // Before a read-write session the token's flags are read (checkLoginState).
  P11Session& openSession(const std::string& pin, bool readWrite);
  // The refusals made before any session or login, from CK_TOKEN_INFO.flags: a locked
  // user PIN (CKF_USER_PIN_LOCKED), a user PIN never set on a token that wants a login
  // (CKF_LOGIN_REQUIRED without CKF_USER_PIN_INITIALIZED), and no PIN ("ND" or empty)
  // for a token without CKF_PROTECTED_AUTHENTICATION_PATH.
  // A token whose information cannot be read is only refused the login without PIN.
  void checkLoginState(const std::string& pin) const;
  // CKM_RSA_PKCS is among C_GetMechanismList's mechanisms of the slot; also true when
  // the list cannot be read, so that such a token is used as before.
  [[nodiscard]] bool offersRawRsa() const;
  // close() of the current session, which is then discarded.
  void closeSession();

  Records listCertificates();
  // listCertificates' records with id (CKA_ID in Base64), label, the certificate and its
  // decoded fields, and privateKey: a private key with that CKA_ID is visible in the
  // same read-only session (a token that shows its private keys only after login
  // gives false).
  Records listCertificateDetails(const CertificateDecoder& decoder);
  Records listObjects(const std::string& pin) override;
  std::string createKeyPair(const std::string& label, const std::string& pin,
                            int keySize) override;
  std::string getPublicKey(const std::string& keyIdBase64) override;
  std::string importCertificate(const std::string& keyIdBase64, const std::string& typeCode,
                                const std::string& label, const std::string& certificateBase64,
                                const std::string& pin) override;
  // keyId: the identifier's bytes, kept whole.
  std::string signWithKeyId(const std::string& dataBase64, const std::string& keyId,
                            const std::string& pin, const std::string& hashName,
                            bool isHash) override;
  // findKeyIdByThumbprint in a read-only session of its own: the whole CKA_ID bytes.
  std::string keyIdOfCertificate(const std::string& thumbprint);
  // One read-write session, one login, then each item's DigestInfo signed with the
  // private key of that id (on a token without CKM_RSA_PKCS each data item with its
  // hashing mechanism, and a finished digest refused before the login): the array of
  // {"data", "id", "signed"}. Throws the login texts, "Chave privada nao encontrada", or
  // batchItemFailure of the first item the token does not sign; no signature is
  // returned then.
  nlohmann::json signBatch(const std::string& keyId, const std::string& pin,
                           const std::vector<BatchItem>& items);

 private:
  // The certificates of the token in a read-only session: type, serial and thumbprint
  // of each, then extend(session, object, record) adds what a listing needs.
  template <typename Extend>
  Records certificateRecords(Extend&& extend);

  const P11Module* module_;
  CK_SLOT_ID slot_;
  const Digester* digester_;
  const CertificateDecoder* decoder_;
  std::optional<P11Session> session_;
};

}  // namespace ankor::pkcs11
