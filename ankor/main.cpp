// ankor: one command per run, one JSON envelope on standard output, exit status 0.
#include <iostream>
#include <string>
#include <vector>

#include "ankor/capi/components.h"
#include "ankor/front/dispatch.h"
#include "ankor/pkcs11/components.h"

namespace {

class ProgramComponents final : public ankor::Components {
 public:
  ankor::KeyStore& keyStore() override { return ankor::capi::keyStoreInstance(); }
  ankor::Signer& signer() override { return ankor::capi::signerInstance(); }
  ankor::TokenManager& tokenManager(const std::string& typeCode) override {
    return ankor::pkcs11::managerInstance(typeCode);
  }
  void releaseTokenManager() override { ankor::pkcs11::releaseManager(); }
};

}  // namespace

int main(int argc, char** argv) {
  // argv as the C runtime split the command line (process code page on Windows).
  std::vector<std::string> args(argv + 1, argv + argc);
  ProgramComponents components;
  try {
    if (auto envelope = ankor::dispatch(args, components)) {
      const std::string text = ankor::renderEnvelope(*envelope);
      std::cout.clear();
      std::cout.flush();
      std::cout << text;
      std::cout.flush();
    }
  } catch (...) {
    // Nothing but the envelope is ever printed, and the status stays 0.
  }
  ankor::pkcs11::releaseManager();
  return 0;
}
