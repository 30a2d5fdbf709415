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
  P11Store(const P11Module& module, CK_SLOT_ID slot, const Digester& digester)
      : module_(&module), slot_(slot), digester_(&digester) {}
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
  [[nodiscard]] const std::string& code() const { return module_->code(); }

  // C_OpenSession (and C_Login when readWrite) on the store's slot; the PIN bytes
  // are wiped from our buffer after the login. Throws the login texts or NoSessionOpen.
  P11Session& openSession(const std::string& pin, bool readWrite);
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
  // private key of that id: the array of {"data", "id", "signed"}. Throws the login
  // texts, "Chave privada nao encontrada", or batchItemFailure of the first item the
  // token does not sign; no signature is returned then.
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
  std::optional<P11Session> session_;
};

}  // namespace ankor::pkcs11
