// Signing with the key of a certificate in the current user's "MY" store, found by its
// SHA-1 thumbprint. Written only against CryptoPlatform.
#pragma once

#include "ankor/capi/platform.h"
#include "ankor/core/operations.h"

namespace ankor::capi {

class CapiSigner final : public Signer {
 public:
  explicit CapiSigner(CryptoPlatform& platform) : platform_(platform) {}

  // Signs data (or a finished digest when isHash) with CryptSignHashA; Base64 of the
  // signature, most significant byte first.
  std::string sign(const std::string& thumbprint, const std::string& hashAlgorithm,
                   const std::string& dataBase64, bool isHash) override;
  // Signs every item of the document with one provider context:
  // [{"data":..,"id":..,"signed":..}].
  std::string signList(const std::string& thumbprint, const std::string& hashAlgorithm,
                       const nlohmann::json& document) override;

 private:
  CryptoPlatform& platform_;
};

}  // namespace ankor::capi
