// Identity values on Windows: WMI through COM (Win32_DiskDrive, Win32_BIOS) and the
// registry value MachineGuid. Every COM interface, BSTR, VARIANT and registry key has
// its owner, so a failure at any step undoes what was done.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include "common/unique_handle.h"
#include "hostmark/identity_source.h"

namespace hostmark {
namespace {

constexpr wchar_t kFixedDiskQuery[] =
    L"SELECT * FROM Win32_DiskDrive WHERE (MediaType = 'Fixed hard disk media') or "
    L"(MediaType = 'Fixed hard disk')";
constexpr wchar_t kBiosQuery[] = L"SELECT * FROM Win32_BIOS";
constexpr std::size_t kValueBufferSize = 1000;

Status toStatus(HRESULT hr) { return static_cast<Status>(hr); }

// Owner of one COM interface pointer (Release).
template <class Interface>
void releaseInterface(Interface* pointer) noexcept {
  pointer->Release();
}
template <class Interface>
using ComPtr = tarvo::UniqueHandle<Interface*, nullptr, releaseInterface<Interface>>;

// Owner of a BSTR from SysAllocString.
using Bstr = tarvo::UniqueHandle<BSTR, nullptr, SysFreeString>;

// Clears a VARIANT that a call filled (VariantClear); the VARIANT itself is the caller's.
struct ClearVariant {
  void operator()(VARIANT* value) const noexcept { VariantClear(value); }
};

// Owner of an open registry key.
using RegistryKey = tarvo::UniqueHandle<HKEY, nullptr, RegCloseKey>;

// The thread's membership of a single-threaded apartment: true once CoInitializeEx
// succeeded (S_FALSE included), left with one CoUninitialize.
void leaveApartment(bool) noexcept { CoUninitialize(); }
using ApartmentMembership = tarvo::UniqueHandle<bool, false, leaveApartment>;

// A UTF-16 value in the ANSI code page (WideCharToMultiByte, CP_ACP, no flags).
Status toAnsi(BSTR text, std::string& ansi) {
  const int length = static_cast<int>(SysStringLen(text));
  ansi.clear();
  if (length == 0) return kSuccess;
  const int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return failureStatus(GetLastError(), toStatus(E_FAIL));
  ansi.resize(static_cast<std::size_t>(size));
  if (WideCharToMultiByte(CP_ACP, 0, text, length, ansi.data(), size, nullptr, nullptr) != size) {
    return failureStatus(GetLastError(), toStatus(E_FAIL));
  }
  return kSuccess;
}

class WmiIdentitySource final : public IdentitySource {
 public:
  WmiIdentitySource() = default;
  WmiIdentitySource(const WmiIdentitySource&) = delete;  // owns COM state of its thread
  WmiIdentitySource& operator=(const WmiIdentitySource&) = delete;
  ~WmiIdentitySource() override { close(); }

  Status open(bool secureProxy) override {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return toStatus(hr);
    apartment_.reset(true);
    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    // RPC_E_TOO_LATE: this process (an earlier call, or the host) already set it.
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) return toStatus(hr);
    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<void**>(locator_.out()));
    if (FAILED(hr)) return toStatus(hr);
    const Bstr space(SysAllocString(L"ROOT\\CIMV2"));
    if (!space) return toStatus(E_OUTOFMEMORY);
    hr = locator_->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                 services_.out());
    if (FAILED(hr)) return toStatus(hr);
    if (secureProxy) {
      hr = CoSetProxyBlanket(services_.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                             RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                             EOAC_NONE);
      if (FAILED(hr)) return toStatus(hr);
    }
    return kSuccess;
  }

  Status diskSerials(std::vector<IdentityValue>& values) override {
    return collect(kFixedDiskQuery, L"SerialNumber", values);
  }

  Status firmwareSerials(std::vector<IdentityValue>& values) override {
    return collect(kBiosQuery, L"SerialNumber", values);
  }

  // RegOpenKeyExA with KEY_READ | KEY_WOW64_64KEY (the 64-bit view also from this
  // 32-bit library), then RegQueryValueExA for the size and into a bounded 1000-byte
  // buffer: a value longer than 999 characters gives ERROR_MORE_DATA instead of
  // overrunning it.
  Status machineIdentifier(std::string& value) override {
    RegistryKey key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0,
                                KEY_READ | KEY_WOW64_64KEY, key.out());
    if (result != ERROR_SUCCESS) return static_cast<Status>(result);
    DWORD size = 0;
    result = RegQueryValueExA(key.get(), "MachineGuid", nullptr, nullptr, nullptr, &size);
    if (result != ERROR_SUCCESS) return static_cast<Status>(result);
    std::array<char, kValueBufferSize> buffer{};
    DWORD capacity = kValueBufferSize;
    result = RegQueryValueExA(key.get(), "MachineGuid", nullptr, nullptr,
                              reinterpret_cast<BYTE*>(buffer.data()), &capacity);
    if (result != ERROR_SUCCESS) return static_cast<Status>(result);
    // 999 characters and their zero fill the buffer; a value stored without its zero
    // that fills it all is one character too long as well.
    const std::size_t length = strnlen(buffer.data(), buffer.size());
    if (length == buffer.size()) return ERROR_MORE_DATA;
    value.assign(buffer.data(), length);
    return kSuccess;
  }

  void close() noexcept override {
    services_.reset();
    locator_.reset();
    apartment_.reset();
  }

 private:
  // IWbemServices::ExecQuery "WQL" forward-only and returning immediately, then
  // IEnumWbemClassObject::Next one row at a time and IWbemClassObject::Get of the
  // property; only VT_BSTR values count, converted to ANSI.
  Status collect(const wchar_t* query, const wchar_t* property,
                 std::vector<IdentityValue>& values) {
    if (services_.get() == nullptr) return toStatus(E_POINTER);
    const Bstr language(SysAllocString(L"WQL"));
    const Bstr text(SysAllocString(query));
    const Bstr name(SysAllocString(property));
    if (!language || !text || !name) {
      return toStatus(E_OUTOFMEMORY);
    }
    ComPtr<IEnumWbemClassObject> rows;
    HRESULT hr = services_->ExecQuery(language.get(), text.get(),
                                      WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                      nullptr, rows.out());
    if (FAILED(hr)) return toStatus(hr);
    for (;;) {
      ComPtr<IWbemClassObject> row;
      ULONG returned = 0;
      hr = rows->Next(WBEM_INFINITE, 1, row.out(), &returned);
      if (hr != WBEM_S_NO_ERROR && hr != WBEM_S_FALSE) return toStatus(hr);
      if (returned == 0 || row.get() == nullptr) return kSuccess;
      VARIANT value;
      VariantInit(&value);
      const std::unique_ptr<VARIANT, ClearVariant> clearValue(&value);
      hr = row->Get(name.get(), 0, &value, nullptr, nullptr);
      if (FAILED(hr)) return toStatus(hr);
      if (value.vt != VT_BSTR) {
        values.emplace_back(std::nullopt);
        continue;
      }
      std::string ansi;
      if (const Status s = toAnsi(value.bstrVal, ansi); s != kSuccess) return s;
      values.emplace_back(std::move(ansi));
    }
  }

  // Declared first, destroyed last: COM is left after the interfaces are released.
  ApartmentMembership apartment_;
  ComPtr<IWbemLocator> locator_;
  ComPtr<IWbemServices> services_;
};

}  // namespace

std::unique_ptr<IdentitySource> createIdentitySource() {
  return std::make_unique<WmiIdentitySource>();
}

}  // namespace hostmark
