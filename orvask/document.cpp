#include "orvask/document.h"

#include <json/json.h>

#include "common/utf8.h"

namespace orvask {

namespace {

const char* messageOf(int code) {
  switch (code) {
    case kDriveFailed: return "Drive [V:] nao esta mapeado ou esta em estado de erro.";
    case kBlackListEmpty: return "BlackList vazia.";
    case kBlackListedFound: return "Software(s) instalado(s) consta(m) na BlackList.";
    case kBlackListUpdated: return "BlackList atualizada.";
    case kNewSoftwareFound: return "Novo(s) software(s) instalado(s).";
    default: return nullptr;
  }
}

}  // namespace

std::string wellFormedUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = tarvo::utf8SequenceAt(text).length;
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
}

std::string resultDocument(int code, const SoftwareMap& found, const SoftwareMap& notFound) {
  const char* message = messageOf(code);
  if (message == nullptr) {
    code = kMachineReleased;
    message = "Maquina liberada para uso.";
  }
  Json::Value success(Json::objectValue);
  Json::Value& error = success["error"];
  error["id"] = code;
  error["message"] = message;
  const SoftwareMap* listed = code == kBlackListedFound ? &found : code == kNewSoftwareFound ? &notFound : nullptr;
  if (listed != nullptr && !listed->empty()) {
    Json::Value& softwares = success["softwares"];
    softwares = Json::Value(Json::arrayValue);
    for (const auto& [key, record] : *listed) {
      Json::Value& item = softwares.append(Json::Value(Json::objectValue));
      item["dtInstall"] = wellFormedUtf8(record.Date);
      item["name"] = wellFormedUtf8(record.Name);
      item["path"] = wellFormedUtf8(record.Path);
      item["uuid"] = wellFormedUtf8(record.ProductCode);
    }
  }
  Json::Value root(Json::objectValue);
  root["success"] = std::move(success);
  return Json::writeString(Json::StreamWriterBuilder(), root);
}

}  // namespace orvask
