// What loading the modules of a type code finds (system info modules): for each module
// of the code, its file, the load and C_Initialize results, its CK_INFO and every slot
// with the token in it. Read-only: no session is opened and no PIN is taken.
#pragma once

#include <string>
#include <vector>

#include "ankor/core/operations.h"
#include "ankor/pkcs11/cryptoki.h"
#include "ankor/pkcs11/loader.h"
#include "ankor/pkcs11/module_table.h"

namespace ankor::pkcs11 {

// One record per row of the code ("ND": all rows) in table order. A module is loaded,
// asked and finalised and unloaded before the next one is loaded. Never throws for a
// module that cannot be loaded or initialised: its record says so.
Records inspectModules(const std::string& typeCode, const std::vector<ModuleRow>& table,
                       Loader& loader);

// The token flags of a CK_TOKEN_INFO as words, in a fixed order: loginRequired,
// userPinInitialized, protectedAuthenticationPath, userPinCountLow, userPinFinalTry,
// userPinLocked, tokenInitialized, writeProtected.
nlohmann::json tokenFlagWords(CK_FLAGS flags);

// inspectModules on the module table and loader of this build.
class P11ModuleInspector final : public ModuleInspector {
 public:
  Records inspectModules(const std::string& typeCode) override;
};

}  // namespace ankor::pkcs11
