// A fake of every component the front end calls, for the dispatch tests and the
// command-line fuzz target: records each call with its converted arguments and
// answers with the scripted outcome.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/core/operations.h"

namespace ankor::fakes {

enum class Outcome { Return, ThrowRuntime, ThrowOtherStd, ThrowNonStd };

class FakeComponents final : public Components,
                             KeyStore,
                             Signer,
                             TokenManager,
                             TokenStore,
                             CertificateDecoder,
                             ModuleInspector {
 public:
  Outcome outcome = Outcome::Return;
  std::string text = "result";
  Records records;
  bool haveStore = true;
  bool managerFails = false;
  std::string runtimeMessage = "runtime message";  // of ThrowRuntime
  std::string otherMessage = "other message";      // of ThrowOtherStd
  bool answered = false;  // an operation returned `text` as its result
  std::vector<std::string> calls;
  std::vector<std::string> managerCodes;
  int releases = 0;

  KeyStore& keyStore() override { return *this; }
  Signer& signer() override { return *this; }
  TokenManager& tokenManager(const std::string& code) override {
    managerCodes.push_back(code);
    if (managerFails) throw std::runtime_error("module load failed");
    return *this;
  }
  void releaseTokenManager() override { ++releases; }
  const CertificateDecoder& certificateDecoder() override { return *this; }
  ModuleInspector& moduleInspector() override { return *this; }
  // Never asked by the front end itself: the decoder is handed on to the token room.
  std::optional<CertificateFields> decode(const Bytes&) const override { return std::nullopt; }
  // Standard input as the platform reader gives it: at most maxBytes of the script.
  std::string input;
  std::vector<std::size_t> inputReads;
  std::string readStandardInput(std::size_t maxBytes) override {
    inputReads.push_back(maxBytes);
    return input.substr(0, maxBytes);
  }

  std::string listCSPs() override { return answer("listCSPs"); }
  std::string countContainers(const std::string& n, int t) override {
    return answer("countContainers|" + n + "|" + std::to_string(t));
  }
  std::string listContainers(const std::string& n, int t) override {
    return answer("listContainers|" + n + "|" + std::to_string(t));
  }
  std::string createKeyPair(const std::string& p, int len, const std::string& c, bool existing,
                            bool exportable, int type, const std::string& cn, bool req) override {
    return answer("createKeyPair|" + p + "|" + std::to_string(len) + "|" + c + "|" +
                  flag(existing) + "|" + flag(exportable) + "|" + std::to_string(type) + "|" + cn +
                  "|" + flag(req));
  }
  std::string generateCSR(const std::string& cn, const std::string& p, const std::string& c,
                          int type) override {
    return answer("generateCSR|" + cn + "|" + p + "|" + c + "|" + std::to_string(type));
  }
  std::string acceptPKCS7(const std::string& cert, const std::string& p, const std::string& c,
                          int type) override {
    return answer("acceptPKCS7|" + cert + "|" + p + "|" + c + "|" + std::to_string(type));
  }
  std::string sign(const std::string& thumb, const std::string& alg, const std::string& data,
                   bool isHash) override {
    return answer("capiSign|" + thumb + "|" + alg + "|" + data + "|" + flag(isHash));
  }
  std::string signList(const std::string& thumb, const std::string& alg,
                       const nlohmann::json& doc) override {
    return answer("signList|" + thumb + "|" + alg + "|" + doc.dump());
  }
  Records listTokens() override { return listing("listTokens"); }
  Records listCertificates() override { return listing("listCertificates"); }
  Records listCertificateDetails(const CertificateDecoder& decoder) override {
    // The program's decoder is handed on, not one of the front end's own.
    return listing(&decoder == static_cast<const CertificateDecoder*>(this)
                       ? "listCertificateDetails"
                       : "listCertificateDetails|foreign decoder");
  }
  Records inspectModules(const std::string& code) override {
    return listing("inspectModules|" + code);
  }
  TokenStore* findStore(const std::string& code, const std::string& serial) override {
    calls.push_back("findStore|" + code + "|" + serial);
    return haveStore ? this : nullptr;
  }
  std::string sign(const std::string& data, const std::string& thumb, const std::string& pin,
                   const std::string& hash, bool isDigest) override {
    return answer("p11Sign|" + data + "|" + thumb + "|" + pin + "|" + hash + "|" + flag(isDigest));
  }
  nlohmann::json signList(const std::string& thumb, const std::string& hash, const std::string& pin,
                const nlohmann::json& doc) override {
    calls.push_back("p11SignList|" + thumb + "|" + hash + "|" + pin + "|" + doc.dump());
    fail();
    return records.empty() ? nlohmann::json(text) : nlohmann::json(records);
  }
  Records listObjects(const std::string& pin) override { return listing("listObjects|" + pin); }
  std::string createKeyPair(const std::string& label, const std::string& pin, int size) override {
    return answer("p11CreateKeyPair|" + label + "|" + pin + "|" + std::to_string(size));
  }
  std::string getPublicKey(const std::string& id) override { return answer("getPublicKey|" + id); }
  std::string importCertificate(const std::string& id, const std::string& code,
                                const std::string& label, const std::string& cert,
                                const std::string& pin) override {
    return answer("p11Import|" + id + "|" + code + "|" + label + "|" + cert + "|" + pin);
  }
  std::string signWithKeyId(const std::string& data, const std::string& id,
                            const std::string& pin, const std::string& hash,
                            bool isDigest) override {
    return answer("signWithKeyId|" + data + "|" + id + "|" + pin + "|" + hash + "|" +
                  flag(isDigest));
  }

 private:
  static std::string flag(bool b) { return b ? "T" : "F"; }
  void fail() {
    switch (outcome) {
      case Outcome::Return: return;
      case Outcome::ThrowRuntime: throw std::runtime_error(runtimeMessage);
      case Outcome::ThrowOtherStd: throw std::out_of_range(otherMessage);
      case Outcome::ThrowNonStd: throw 42;
    }
  }
  std::string answer(std::string call) {
    calls.push_back(std::move(call));
    fail();
    answered = true;
    return text;
  }
  Records listing(std::string call) {
    calls.push_back(std::move(call));
    fail();
    return records;
  }
};

}  // namespace ankor::fakes
