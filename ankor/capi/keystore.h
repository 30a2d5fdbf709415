// The CryptoAPI key-store operations: provider and container listing, key pairs and
// PKCS#10 requests, certificate installation. Written only against CryptoPlatform.
#pragma once

#include "ankor/capi/certificate.h"
#include "ankor/capi/platform.h"
#include "ankor/core/operations.h"

namespace ankor::capi {

class CapiKeyStore final : public KeyStore {
 public:
  explicit CapiKeyStore(CryptoPlatform& platform,
                        const CertificateDecoder& decoder = systemCertificateDecoder())
      : platform_(platform), decoder_(decoder) {}

  // Providers as [{"cspname":..,"csptype":..}] (CryptEnumProvidersA); "null" when none.
  std::string listCSPs() override;
  // Number of containers (PP_ENUMCONTAINERS), or the error result text.
  std::string countContainers(const std::string& providerName, int providerType) override;
  // Containers as [{"name":..}] (PP_ENUMCONTAINERS); "null" when none.
  std::string listContainers(const std::string& providerName, int providerType) override;
  // Creates or opens the container's key exchange key (CryptGenKey / CryptGetUserKey) and
  // returns its PUBLICKEYBLOB in Base64, or the request when makeRequest is set.
  std::string createKeyPair(const std::string& providerName, int keyLength,
                            const std::string& containerName, bool useExistingKey,
                            bool exportable, int providerType, const std::string& commonName,
                            bool makeRequest) override;
  // A PKCS#10 request for the container's key (CryptSignAndEncodeCertificate), Base64 DER.
  std::string generateCSR(const std::string& commonName, const std::string& providerName,
                          const std::string& containerName, int providerType) override;
  // Writes the certificate to the token (KP_CERTIFICATE) or adds it to the user's "MY"
  // store bound to the container (CERT_KEY_PROV_INFO_PROP_ID).
  std::string acceptPKCS7(const std::string& certificateBase64, const std::string& providerName,
                          const std::string& containerName, int providerType) override;
  // The "MY" store (CertEnumCertificatesInStore): thumbprint, certificate, decoded
  // fields and the CERT_KEY_PROV_INFO_PROP_ID record's container, provider,
  // providerType and keySpec (null without a record). Throws
  // "listCertificates - CertOpenStore" or "listCertificates - CertEnumCertificatesInStore".
  Records listCertificates() override;

 private:
  nlohmann::json certificateRecord(Handle certificate);
  std::string createKeyPairSteps(const std::string& providerName, int keyLength,
                                 const std::string& containerName, bool useExistingKey,
                                 bool exportable, int providerType);
  std::string generateCSRSteps(const std::string& commonName, const std::string& providerName,
                               const std::string& containerName, int providerType);
  std::string acceptPKCS7Steps(const std::string& certificateBase64,
                               const std::string& providerName, const std::string& containerName,
                               int providerType);
  std::u16string toWide(const std::string& text, const char* lengthFailure,
                        const char* conversionFailure);
  // Opens the provider for counting or listing and calls visit for each container name.
  template <typename Visit>
  void forEachContainer(const std::string& providerName, int providerType, Visit&& visit);

  CryptoPlatform& platform_;
  const CertificateDecoder& decoder_;
};

}  // namespace ankor::capi
