// The operations the front end calls, as seen from the command table. The CryptoAPI
// subsystem implements KeyStore and Signer; the PKCS#11 subsystem implements
// TokenManager (P11Manager) and TokenStore (P11Store). Operations report failure by
// throwing; listing records come back as JSON objects.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/core/certificate.h"

namespace ankor {

using Records = std::vector<nlohmann::json>;

// Stateless CryptoAPI key-store component.
class KeyStore {
 public:
  virtual ~KeyStore() = default;
  virtual std::string listCSPs() = 0;
  virtual std::string countContainers(const std::string& providerName, int providerType) = 0;
  virtual std::string listContainers(const std::string& providerName, int providerType) = 0;
  virtual std::string createKeyPair(const std::string& providerName, int keyLength,
                                    const std::string& containerName, bool useExistingKey,
                                    bool exportable, int providerType,
                                    const std::string& commonName, bool makeRequest) = 0;
  virtual std::string generateCSR(const std::string& commonName, const std::string& providerName,
                                  const std::string& containerName, int providerType) = 0;
  virtual std::string acceptPKCS7(const std::string& certificateBase64,
                                  const std::string& providerName,
                                  const std::string& containerName, int providerType) = 0;
  // The certificates of the current user's "MY" store in store order, each with its
  // thumbprint, decoded fields and key-provider record (null members without one).
  virtual Records listCertificates() = 0;
};

// Stateless CryptoAPI signing component.
class Signer {
 public:
  virtual ~Signer() = default;
  virtual std::string sign(const std::string& thumbprint, const std::string& hashAlgorithm,
                           const std::string& dataBase64, bool isHash) = 0;
  virtual std::string signList(const std::string& thumbprint, const std::string& hashAlgorithm,
                               const nlohmann::json& document) = 0;
};

// One token of a PKCS#11 module.
class TokenStore {
 public:
  virtual ~TokenStore() = default;
  virtual Records listObjects(const std::string& pin) = 0;
  virtual std::string createKeyPair(const std::string& label, const std::string& pin,
                                    int keySize) = 0;
  virtual std::string getPublicKey(const std::string& keyIdBase64) = 0;
  virtual std::string importCertificate(const std::string& keyIdBase64,
                                        const std::string& typeCode, const std::string& label,
                                        const std::string& certificateBase64,
                                        const std::string& pin) = 0;
  virtual std::string signWithKeyId(const std::string& dataBase64, const std::string& keyId,
                                    const std::string& pin, const std::string& hashName,
                                    bool isDigest) = 0;
};

// The run's PKCS#11 manager: the modules of one type code and their usable tokens.
class TokenManager {
 public:
  virtual ~TokenManager() = default;
  virtual Records listTokens() = 0;
  virtual Records listCertificates() = 0;
  // The records of listCertificates with the object's id, label, the decoded fields and
  // whether a private key with its id is visible, all without login.
  virtual Records listCertificateDetails(const CertificateDecoder& decoder) = 0;
  // The token with this type code and serial, or nullptr. A serial that several
  // tokens share throws std::runtime_error naming their exact names.
  virtual TokenStore* findStore(const std::string& typeCode, const std::string& serial) = 0;
  virtual std::string sign(const std::string& dataBase64, const std::string& thumbprint,
                           const std::string& pin, const std::string& hashName,
                           bool isDigest) = 0;
  // Signs every element of a signList document with the key of the certificate with
  // that thumbprint, logging in once: the array of {"data", "id", "signed"} in list
  // order, or sign's text when no certificate matches. All or nothing: any failure
  // throws std::runtime_error with its reason.
  virtual nlohmann::json signList(const std::string& thumbprint, const std::string& hashName,
                                  const std::string& pin, const nlohmann::json& document) = 0;
};

// What loading the modules of a type code finds, module by module, without a PIN and
// without writing anything: for the deployer whose token does not show.
class ModuleInspector {
 public:
  virtual ~ModuleInspector() = default;
  // One record per module of the code in table order; a module that does not load or
  // initialise is described in its record, never a failure of the whole listing.
  virtual Records inspectModules(const std::string& typeCode) = 0;
};

// Where the front end obtains its components. Each is created at most once per run.
class Components {
 public:
  virtual ~Components() = default;
  virtual KeyStore& keyStore() = 0;
  virtual Signer& signer() = 0;
  // P11Manager::instance: loads the modules of the type code on first use.
  virtual TokenManager& tokenManager(const std::string& typeCode) = 0;
  // Finalises and unloads the modules; nothing when no manager exists.
  virtual void releaseTokenManager() = 0;
  // The program's certificate decoder (the CryptoAPI room's), for the token listings.
  virtual const CertificateDecoder& certificateDecoder() = 0;
  // The inspection of the modules, independent of the run's manager.
  virtual ModuleInspector& moduleInspector() = 0;
  // Standard input up to its first line feed, at most maxBytes (readStandardInput):
  // where a PIN given as "-" comes from.
  virtual std::string readStandardInput(std::size_t maxBytes) = 0;
};

}  // namespace ankor
