// The PKCS#11 objects of one ankor run: the P11Manager that owns the modules of a
// type code and one P11Store per usable token.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/core/digest.h"
#include "ankor/core/operations.h"
#include "ankor/pkcs11/loader.h"
#include "ankor/pkcs11/module.h"
#include "ankor/pkcs11/module_table.h"
#include "ankor/pkcs11/store.h"

namespace ankor::pkcs11 {

// A token is kept (and visible to every token command) only when its trimmed serial
// is not empty and wholly hexadecimal.
bool isUsableSerial(const std::string& serial);

class P11Manager final : public TokenManager {
 public:
  // Selects the rows of the type code, loads each in turn and keeps the stores of
  // its slots whose serial is hexadecimal. A load failure propagates; the modules
  // loaded so far are then finalised and unloaded. When no store was kept and a
  // module failed to start (C_Initialize, or the first C_GetSlotList), the
  // construction fails with startFailureText of the first such module. The digester
  // computes the thumbprints and the digests of data to sign, the decoder takes
  // certificates apart for their import (CertificateDecoder::parse); both outlive the manager.
  P11Manager(const std::string& typeCode, const std::vector<ModuleRow>& table, Loader& loader,
             const Digester& digester, const CertificateDecoder* decoder = nullptr);
  // Closes leftover sessions, then C_Finalize and unload of every module in order.
  ~P11Manager() override;
  P11Manager(const P11Manager&) = delete;  // the one owner of the run's modules
  P11Manager& operator=(const P11Manager&) = delete;

  // The run's manager, made from the type code and the program's digester on the
  // first call; later calls return it whatever they pass.
  static P11Manager& instance(const std::string& typeCode, const Digester& digester,
                              const CertificateDecoder* decoder = nullptr);
  // Destroys the run's manager, when there is one.
  static void release() noexcept;

  Records listTokens() override;
  Records listCertificates() override;
  Records listCertificateDetails(const CertificateDecoder& decoder) override;
  // serial is a token's serial, or its exact name: the serial, "#" and the slot ID as
  // the tokens listing prints it. A serial that more than one token of the code has
  // names no token: that throws the ambiguity text with the exact names.
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

  const Digester* digester_;
  const CertificateDecoder* decoder_;
  std::vector<std::unique_ptr<P11Module>> modules_;
  std::vector<std::unique_ptr<P11Store>> stores_;
};

}  // namespace ankor::pkcs11
