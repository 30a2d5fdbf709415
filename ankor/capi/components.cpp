// Until the CryptoAPI operations are built, each command reports that it is not
// available instead of pretending to succeed.
#include "ankor/capi/components.h"

#include <stdexcept>

namespace ankor::capi {
namespace {

[[noreturn]] void unavailable(const char* operation) {
  throw std::runtime_error(std::string("capi ") + operation + " is not available in this build");
}

class UnavailableKeyStore final : public KeyStore {
 public:
  std::string listCSPs() override { unavailable("listCSPs"); }
  std::string countContainers(const std::string&, int) override {
    unavailable("countContainers");
  }
  std::string listContainers(const std::string&, int) override { unavailable("listContainers"); }
  std::string createKeyPair(const std::string&, int, const std::string&, bool, bool, int,
                            const std::string&, bool) override {
    unavailable("createKeyPair");
  }
  std::string generateCSR(const std::string&, const std::string&, const std::string&,
                          int) override {
    unavailable("generateCSR");
  }
  std::string acceptPKCS7(const std::string&, const std::string&, const std::string&,
                          int) override {
    unavailable("acceptPKCS7");
  }
};

class UnavailableSigner final : public Signer {
 public:
  std::string sign(const std::string&, const std::string&, const std::string&, bool) override {
    unavailable("sign");
  }
  std::string signList(const std::string&, const std::string&, const nlohmann::json&) override {
    unavailable("signList");
  }
};

}  // namespace

KeyStore& keyStoreInstance() {
  static UnavailableKeyStore instance;
  return instance;
}

Signer& signerInstance() {
  static UnavailableSigner instance;
  return instance;
}

}  // namespace ankor::capi
