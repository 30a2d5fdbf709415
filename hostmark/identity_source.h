// The identity values of the machine: fixed disks' serial numbers, the firmware serial
// number and the installation's machine identifier. Windows asks WMI and the registry;
// Linux reads sysfs and /etc/machine-id.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostmark/status.h"

namespace hostmark {

// One property value as the platform gives it; nullopt when it is not a string
// (a disk without a serial number), which contributes nothing.
using IdentityValue = std::optional<std::string>;

// One computation's connection to the platform's identity values, used in the order
// open, diskSerials, firmwareSerials, machineIdentifier, close.
class IdentitySource {
 public:
  virtual ~IdentitySource() = default;

  // Windows: CoInitializeEx (apartment), CoInitializeSecurity, CoCreateInstance of the
  // WMI locator, ConnectServer "ROOT\CIMV2", and CoSetProxyBlanket when secureProxy.
  [[nodiscard]] virtual Status open(bool secureProxy) = 0;
  // Windows: "SerialNumber" of the fixed disks of Win32_DiskDrive, in query order.
  [[nodiscard]] virtual Status diskSerials(std::vector<IdentityValue>& values) = 0;
  // Windows: "SerialNumber" of every Win32_BIOS row.
  [[nodiscard]] virtual Status firmwareSerials(std::vector<IdentityValue>& values) = 0;
  // Windows: RegQueryValueExA of HKLM\SOFTWARE\Microsoft\Cryptography "MachineGuid";
  // a missing value gives 2 (ERROR_FILE_NOT_FOUND).
  [[nodiscard]] virtual Status machineIdentifier(std::string& value) = 0;
  // Releases what open acquired (Windows: the interfaces, then CoUninitialize once per
  // successful CoInitializeEx). Safe after a failed or missing open, and twice.
  virtual void close() noexcept = 0;
};

// The platform's source; the paths of the Linux one can be redirected for tests.
std::unique_ptr<IdentitySource> createIdentitySource();

}  // namespace hostmark
