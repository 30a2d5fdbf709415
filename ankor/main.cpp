// ankor: one command per run, one JSON envelope on standard output, exit status 0.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ankor/capi/certificate.h"
#include "ankor/capi/components.h"
#include "ankor/capi/digest.h"
#include "ankor/core/encoding.h"
#include "ankor/front/dispatch.h"
#include "ankor/front/process.h"
#include "ankor/pkcs11/components.h"
#include "common/dll_search.h"

namespace {

// The rooms wired together: the token room hashes with the CryptoAPI room's digest and
// has its certificates decoded (and those it imports taken apart) by the CryptoAPI
// room's decoder.
class ProgramComponents final : public ankor::Components {
 public:
  ankor::KeyStore& keyStore() override { return ankor::capi::keyStoreInstance(); }
  ankor::Signer& signer() override { return ankor::capi::signerInstance(); }
  ankor::TokenManager& tokenManager(const std::string& typeCode) override {
    return ankor::pkcs11::managerInstance(typeCode, ankor::capi::systemDigester(),
                                          ankor::capi::systemCertificateDecoder());
  }
  void releaseTokenManager() override { ankor::pkcs11::releaseManager(); }
  const ankor::CertificateDecoder& certificateDecoder() override {
    return ankor::capi::systemCertificateDecoder();
  }
  ankor::ModuleInspector& moduleInspector() override {
    return ankor::pkcs11::moduleInspectorInstance();
  }
  std::string readStandardInput(std::size_t maxBytes) override {
    return ankor::readStandardInput(maxBytes);
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Before any module is loaded: msi, CRYPT32, the vendors' modules and their
  // dependencies never come from the working directory.
  (void)tarvo::removeWorkingDirectoryFromDllSearch();
  ankor::prepareProcess();
  // argv as the C runtime split the command line (process code page on Windows).
  std::vector<std::string> args(argv + 1, argv + argc);
  ProgramComponents components;
  try {
    if (auto envelope = ankor::dispatch(args, components)) {
      const std::string text = ankor::renderEnvelope(*envelope);
      // Through the C runtime's stdout, where the iostreams would write it too (text
      // mode on Windows): the program sets up no iostreams, whose initialisation was a
      // fifth of a Linux start-up.
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fflush(stdout);
    }
  } catch (...) {
    // Nothing but the envelope is ever printed, and the status stays 0.
  }
  // A pkcs11 command releases its manager before the envelope is made; one whose failure
  // went past that release still has modules loaded, finalised and unloaded here once
  // the envelope is out. After any other run there is nothing left and this does nothing.
  ankor::pkcs11::releaseManager();
  // PINs may travel on the command line: wipe the program's copies once the run is done
  // (a PIN read from standard input is wiped by the command that read it).
  for (auto& arg : args) ankor::secureWipe(arg.data(), arg.size());
  for (int i = 1; i < argc; ++i) ankor::secureWipe(argv[i], std::strlen(argv[i]));
  return 0;
}
