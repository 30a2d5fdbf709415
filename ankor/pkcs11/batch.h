// The document of "pkcs11 crypt signList": a JSON array of {"value", "hashedData",
// "id"} read whole into the DigestInfos to sign, before any token is touched, so
// that a malformed element fails the command with nothing signed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/core/digest.h"
#include "ankor/core/encoding.h"

namespace ankor::pkcs11 {

// The largest list one run signs.
inline constexpr std::size_t kMaxBatchItems = 10000;

struct BatchItem {
  std::string value;   // the element's "value", given back as "data"
  nlohmann::json id;   // the element's "id", null when it has none
  Bytes digestInfo;    // PKCS #1 v1.5 DigestInfo, signed with CKM_RSA_PKCS
  bool hashed = false;  // "hashedData": the value is a finished digest
  DigestAlgorithm algorithm = DigestAlgorithm::Sha256;
  Bytes data;          // the decoded data of an element that is not a digest, for a
                       // token that hashes it itself
};

// Reads every element with the DigestInfo rules of "crypt sign" ("hashedData" true:
// "value" is a finished digest of the algorithm's length; otherwise its data is
// hashed here by the digester). Throws std::runtime_error: "Lista invalida: ..." for
// a document that is not an array or has more than kMaxBatchItems elements,
// batchItemFailure for an element.
std::vector<BatchItem> readBatch(const nlohmann::json& document, const std::string& hashName,
                                 const Digester& digester);

// "Elemento <position from 1> (id <id as JSON>): <reason>".
std::string batchItemFailure(std::size_t index, const nlohmann::json& id,
                             const std::string& reason);

}  // namespace ankor::pkcs11
