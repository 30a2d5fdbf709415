#include "ankor/pkcs11/loader.h"

namespace ankor::pkcs11 {

// The vendors' fixed locations; no environment variable is read on Windows.
std::vector<ModuleRow> moduleTable() {
  return {
      {"GD", "C:\\Windows\\SysWOW64\\aetpkss1.dll", "C:\\Windows\\System32\\aetpkss1.dll"},
      {"ET", "C:\\Windows\\SysWOW64\\eTPKCS11.dll", "C:\\Windows\\System32\\eTPKCS11.dll"},
      {"AT", "C:\\Windows\\SysWOW64\\asepkcs.dll", "C:\\Windows\\System32\\asepkcs.dll"},
      {"BR", "C:\\Program Files (x86)\\CSP Banrisul Multiplo\\PKCS11.dll",
       "C:\\Program Files\\CSP Banrisul Multiplo\\PKCS11.dll"},
      {"OB", "C:\\Program Files (x86)\\Oberthur Technologies\\AWP\\DLLs\\OcsCryptolib_P11.dll",
       "C:\\Program Files\\Oberthur Technologies\\AWP\\DLLs\\OcsCryptolib_P11.dll"},
      {"EP", "C:\\Windows\\SysWOW64\\eps2003csp11.dll", "C:\\Windows\\System32\\eps2003csp11.dll"},
      {"DX", "C:\\Windows\\SysWOW64\\DXSafePKCS11.dll", "C:\\Windows\\System32\\DXSafePKCS11.dll"},
  };
}

}  // namespace ankor::pkcs11
