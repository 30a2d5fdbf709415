// The PKCS#11 objects of one ankor run: the modules of a type code (P11Module), one
// P11Store per usable token, the P11Session a store operation works in, and the
// P11Manager that owns them all. Every Cryptoki function is looked up by name in
// the module at each call; one the module does not export by name is taken from the
// table its C_GetFunctionList returns, and one found in neither answers
// kMissingFunction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/digest/digest.h"
#include "ankor/front/encoding.h"
#include "ankor/front/operations.h"
#include "ankor/pkcs11/batch.h"
#include "ankor/pkcs11/cryptoki.h"
#include "ankor/pkcs11/loader.h"

namespace ankor::pkcs11 {

// The failure without a message. It is deliberately not a std::exception, so the
// front end reports it as "error": null inside an operation's own handler.
struct NoSessionOpen {
  const char* text = "NO SESSION OPEN";
};

// One selected row of the module table and, once loaded, its library.
class P11Module {
 public:
  explicit P11Module(ModuleRow row) : row_(std::move(row)) {}
  ~P11Module();
  // A copy would finalise and unload the same library twice.
  P11Module(const P11Module&) = delete;
  P11Module& operator=(const P11Module&) = delete;
  P11Module(P11Module&& other) noexcept = default;
  P11Module& operator=(P11Module&&) = delete;

  // fileExists, LoadLibraryA and C_Initialize(NULL). Throws std::runtime_error with
  // "Erro ao inicializar biblioteca fileExists" / "... LoadLibrary". When
  // C_Initialize fails the module is finalised, unloaded and stays empty.
  void load(Loader& loader);
  // C_Finalize(NULL) and FreeLibrary, when loaded.
  void unload() noexcept;

  [[nodiscard]] bool loaded() const { return library_ != nullptr; }
  [[nodiscard]] const std::string& code() const { return row_.code; }

  // GetProcAddress of the function, else its entry in the module's function table,
  // then the call; kMissingFunction when the module is not loaded or has neither.
  template <typename Fn, typename... Args>
  [[nodiscard]] CK_RV call(const char* name, Fn CK_FUNCTION_LIST::*entry, Args... args) const {
    if (library_ == nullptr) return kMissingFunction;
    auto function = reinterpret_cast<Fn>(library_->symbol(name));
    if (function == nullptr) {
      if (const CK_FUNCTION_LIST* table = functionTable()) function = table->*entry;
    }
    if (function == nullptr) return kMissingFunction;
    return function(args...);
  }

 private:
  // C_GetFunctionList of the module, asked once, the first time a function is not
  // exported by name; nullptr when the module has no such entry or it fails.
  const CK_FUNCTION_LIST* functionTable() const;

  ModuleRow row_;
  std::unique_ptr<Library> library_;
  mutable std::optional<const CK_FUNCTION_LIST*> table_;
};

// Calls the Cryptoki function FN of MODULE: by its exported name, else from the
// module's function table.
#define P11_CALL(module, fn, ...) (module).call<CK_##fn>(#fn, &CK_FUNCTION_LIST::fn, __VA_ARGS__)

// The DigestInfo prefix and digest of a hash name ("sha1", "sha512", anything else
// SHA-256).
struct DigestTemplate {
  DigestAlgorithm algorithm;
  Bytes prefix;
  std::size_t digestLength;
};
DigestTemplate digestTemplate(const std::string& hashName);
// The DigestInfo to sign: the template's prefix followed by the digest.
Bytes digestInfo(const DigestTemplate& chosen, const Bytes& digest);
// A memory figure as the host reads it: CK_UNAVAILABLE_INFORMATION is 4294967295 on
// every target (all ones of a 32-bit CK_ULONG), whatever the width of CK_ULONG.
std::uint64_t memoryFigure(CK_ULONG value);

// The login result text of a C_Login return code; empty for CKR_OK.
std::string loginFailureText(CK_RV rv);
// The reason that follows "Erro na geracao do par de chaves: " and
// "Erro na importação do certificado: ".
std::string deviceFailureText(CK_RV rv);

// One open Cryptoki session; its owner closes it.
class P11Session {
 public:
  P11Session(const P11Module& module, CK_SESSION_HANDLE handle) : module_(&module), handle_(handle) {}
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
  // Lower-case hexadecimal SHA-1 of a certificate's CKA_VALUE; empty when the digest
  // cannot be computed.
  std::string thumbprint(CK_OBJECT_HANDLE certificate) const;
  // The whole CKA_ID bytes of the certificate with that thumbprint, or empty.
  std::string findKeyIdByThumbprint(const std::string& thumbprint) const;
  // C_GenerateKeyPair with the label cut to 18 bytes: the base64 key identifier, or
  // the "Erro na geracao do par de chaves: " text.
  std::string generateKeyPair(const std::string& label, int keySize) const;
  // The signing steps on a logged-in session: the key by id, the digest (computed, or
  // the given one checked for length), then signDigestInfo. The Base64 signature; the
  // empty text when no key has that id or the token signed nothing; the wrong-length
  // text for a given digest of another length.
  std::string signSteps(const std::string& dataBase64, const std::string& keyId,
                        const std::string& hashName, bool isHash) const;
  // C_SignInit with CKM_RSA_PKCS, C_Sign for the length, C_Sign for the signature. No
  // bytes when any of the three fails or the announced length is beyond the limits:
  // a failed signature never yields a buffer's leftover bytes.
  Bytes signDigestInfo(CK_OBJECT_HANDLE privateKey, const Bytes& digestInfo) const;

 private:
  const P11Module* module_;
  CK_SESSION_HANDLE handle_;
};

// One token: a module and a slot.
class P11Store final : public TokenStore {
 public:
  P11Store(const P11Module& module, CK_SLOT_ID slot) : module_(&module), slot_(slot) {}
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
  const P11Module* module_;
  CK_SLOT_ID slot_;
  std::optional<P11Session> session_;
};

class P11Manager final : public TokenManager {
 public:
  // Selects the rows of the type code, loads each in turn and keeps the stores of
  // its slots whose serial is hexadecimal. A load failure propagates; the modules
  // loaded so far are then finalised and unloaded.
  P11Manager(const std::string& typeCode, const std::vector<ModuleRow>& table, Loader& loader);
  // Closes leftover sessions, then C_Finalize and unload of every module in order.
  ~P11Manager() override;
  P11Manager(const P11Manager&) = delete;  // the one owner of the run's modules
  P11Manager& operator=(const P11Manager&) = delete;

  // The run's manager, made from the type code on the first call.
  static P11Manager& instance(const std::string& typeCode);
  // Destroys the run's manager, when there is one.
  static void release() noexcept;

  Records listTokens() override;
  Records listCertificates() override;
  TokenStore* findStore(const std::string& typeCode, const std::string& serial) override;
  std::string sign(const std::string& dataBase64, const std::string& thumbprint,
                   const std::string& pin, const std::string& hashName, bool isHash) override;
  // The whole document is read (readBatch) before any token is searched; then the
  // first store holding the certificate signs it all (signBatch).
  nlohmann::json signList(const std::string& thumbprint, const std::string& hashName,
                          const std::string& pin, const nlohmann::json& document) override;

  [[nodiscard]] std::size_t storeCount() const { return stores_.size(); }

 private:
  // The first store whose certificates include one with that thumbprint, or nullptr.
  P11Store* storeWithCertificate(const std::string& thumbprint);

  std::vector<std::unique_ptr<P11Module>> modules_;
  std::vector<std::unique_ptr<P11Store>> stores_;
};

}  // namespace ankor::pkcs11
