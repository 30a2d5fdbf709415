// One open Cryptoki session (P11Session) and the object, attribute, key and signing
// calls made in it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ankor/core/digest.h"
#include "ankor/core/encoding.h"
#include "ankor/pkcs11/cryptoki.h"
#include "ankor/pkcs11/module.h"

namespace ankor::pkcs11 {

// The answer for a finished digest on a token that signs only through its hashing
// mechanisms: it must hash the data itself, so a digest cannot be signed there.
inline constexpr const char* kDigestNeedsRawRsa =
    "Token sem CKM_RSA_PKCS: um hash ja calculado nao pode ser assinado";

// CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS or CKM_SHA512_RSA_PKCS.
CK_MECHANISM_TYPE hashingMechanism(DigestAlgorithm algorithm);

// One open Cryptoki session; its owner closes it.
class P11Session {
 public:
  // digester computes thumbprints and the digests of data to sign.
  P11Session(const P11Module& module, CK_SESSION_HANDLE handle, const Digester& digester)
      : module_(&module), handle_(handle), digester_(&digester) {}
  // Closes quietly (C_Logout, C_CloseSession) when close() was not reached.
  ~P11Session();
  // A copy would close the same session twice.
  P11Session(const P11Session&) = delete;
  P11Session& operator=(const P11Session&) = delete;
  P11Session(P11Session&& other) noexcept;
  P11Session& operator=(P11Session&&) = delete;

  [[nodiscard]] CK_SESSION_HANDLE handle() const { return handle_; }
  // C_Logout then C_CloseSession, codes not examined; throws NoSessionOpen when the
  // module delivered no handle.
  void close();

  // C_FindObjectsInit, C_FindObjects one handle at a time (at most kMaxFoundObjects),
  // C_FindObjectsFinal.
  std::vector<CK_OBJECT_HANDLE> findObjects(CK_ATTRIBUTE* attributes, CK_ULONG count) const;
  // The first object of the class whose CKA_ID is exactly the id's bytes (zero bytes
  // included), or 0.
  CK_OBJECT_HANDLE findObject(CK_OBJECT_CLASS objectClass, const std::string& id) const;
  // C_GetAttributeValue twice: the length, then the value (empty when unreadable).
  Bytes getAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;
  // The value up to its first zero byte.
  std::string getAttributeText(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;
  // The object class read as a CK_OBJECT_CLASS; nullopt when unreadable.
  std::optional<CK_OBJECT_CLASS> getClass(CK_OBJECT_HANDLE object) const;
  // Lower-case hexadecimal SHA-1 of a certificate's CKA_VALUE; throws "Erro ao calcular
  // o hash dos dados" when the digest cannot be computed.
  std::string thumbprint(CK_OBJECT_HANDLE certificate) const;
  // The whole CKA_ID bytes of the certificate with that thumbprint, or empty.
  std::string findKeyIdByThumbprint(const std::string& thumbprint) const;
  // C_GenerateKeyPair with the label cut to 18 bytes on a character boundary
  // (cutOnCharacter): the base64 key identifier, or the "Erro na geracao do par de
  // chaves: " text.
  std::string generateKeyPair(const std::string& label, int keySize) const;
  // The signing steps on a logged-in session: the key by id, the digest (computed, or
  // the given one checked for length), then signDigestInfo. Without rawRsa (a token
  // without CKM_RSA_PKCS) the data goes to the hashing mechanism of the algorithm
  // instead, and a finished digest throws kDigestNeedsRawRsa. The Base64 signature; the
  // empty text when no key has that id or the token signed nothing; the wrong-length
  // text for a given digest of another length.
  std::string signSteps(const std::string& dataBase64, const std::string& keyId,
                        const std::string& hashName, bool isHash, bool rawRsa) const;
  // signWith CKM_RSA_PKCS.
  Bytes signDigestInfo(CK_OBJECT_HANDLE privateKey, const Bytes& digestInfo) const;
  // C_SignInit with the mechanism, C_Sign for the length, C_Sign for the signature. No
  // bytes when any of the three fails or the announced length is beyond the limits:
  // a failed signature never yields a buffer's leftover bytes.
  Bytes signWith(CK_OBJECT_HANDLE privateKey, CK_MECHANISM_TYPE mechanism,
                 const Bytes& input) const;

 private:
  const P11Module* module_;
  CK_SESSION_HANDLE handle_;
  const Digester* digester_;
};

}  // namespace ankor::pkcs11
