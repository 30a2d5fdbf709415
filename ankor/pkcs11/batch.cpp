#include "ankor/pkcs11/batch.h"

#include <stdexcept>

#include "ankor/pkcs11/digest_info.h"

namespace ankor::pkcs11 {

std::string batchItemFailure(std::size_t index, const nlohmann::json& id,
                             const std::string& reason) {
  return "Elemento " + std::to_string(index + 1) + " (id " +
         id.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "): " + reason;
}

std::vector<BatchItem> readBatch(const nlohmann::json& document, const std::string& hashName,
                                 const Digester& digester) {
  if (!document.is_array()) throw std::runtime_error("Lista invalida: a lista deve ser um array JSON");
  if (document.size() > kMaxBatchItems) {
    throw std::runtime_error("Lista invalida: mais de " + std::to_string(kMaxBatchItems) +
                             " elementos");
  }
  const DigestTemplate chosen = digestTemplate(hashName);
  std::vector<BatchItem> items;
  items.reserve(document.size());
  for (std::size_t index = 0; index < document.size(); ++index) {
    const nlohmann::json& element = document[index];
    const nlohmann::json id =
        element.is_object() && element.contains("id") ? element["id"] : nlohmann::json();
    auto fail = [&](const std::string& reason) {
      throw std::runtime_error(batchItemFailure(index, id, reason));
    };
    if (!element.is_object()) fail("o elemento deve ser um objeto");
    const auto value = element.find("value");
    if (value == element.end() || !value->is_string()) fail("value deve ser um texto Base64");
    const auto hashed = element.find("hashedData");
    if (hashed == element.end() || !hashed->is_boolean()) fail("hashedData deve ser booleano");

    const Bytes data = base64Decode(value->get_ref<const std::string&>());
    Bytes digest;
    if (hashed->get<bool>()) {
      if (data.size() != chosen.digestLength) fail("Tamanho data nao condiz com algoritmo utilizado");
      digest = data;
    } else {
      auto computed = digester.digest(chosen.algorithm, data.data(), data.size());
      if (!computed || computed->size() != chosen.digestLength) {
        fail("Erro ao calcular o hash dos dados");
      }
      digest = std::move(*computed);
    }
    const bool isDigest = hashed->get<bool>();
    items.push_back({value->get<std::string>(), id, digestInfo(chosen, digest), isDigest,
                     chosen.algorithm, isDigest ? Bytes() : data});
  }
  return items;
}

}  // namespace ankor::pkcs11
