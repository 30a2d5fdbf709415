// Identity values on Windows: WMI through COM (Win32_DiskDrive, Win32_BIOS) and the
// registry value MachineGuid. Every COM interface, BSTR, VARIANT and registry key has
// its owner, so a failure at any step undoes what was done.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <array>
#include <cstring>
#include <utility>

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
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;  // a copy would release the interface twice
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      pointer_ = std::exchange(other.pointer_, nullptr);
    }
    return *this;
  }
  ~ComPtr() { reset(); }
  void reset() noexcept {
    if (pointer_ != nullptr) std::exchange(pointer_, nullptr)->Release();
  }
  Interface** out() noexcept {
    reset();
    return &pointer_;
  }
  Interface* get() const noexcept { return pointer_; }
  Interface* operator->() const noexcept { return pointer_; }

 private:
  Interface* pointer_ = nullptr;
};

// Owner of a BSTR (SysAllocString, SysFreeString).
class Bstr {
 public:
  explicit Bstr(const wchar_t* text) noexcept : text_(SysAllocString(text)) {}
  Bstr(const Bstr&) = delete;  // a copy would free the string twice
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
  Bstr& operator=(Bstr&&) = delete;
  ~Bstr() { SysFreeString(text_); }
  BSTR get() const noexcept { return text_; }

 private:
  BSTR text_;
};

// Owner of a VARIANT (VariantInit, VariantClear).
class Variant {
 public:
  Variant() noexcept { VariantInit(&value_); }
  Variant(const Variant&) = delete;  // a copy would clear the value twice
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  Variant& operator=(Variant&&) = delete;
  ~Variant() { VariantClear(&value_); }
  VARIANT* out() noexcept { return &value_; }
  const VARIANT& get() const noexcept { return value_; }

 private:
  VARIANT value_;
};

// Owner of an open registry key (RegCloseKey).
class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;  // a copy would close the key twice
  RegistryKey& operator=(const RegistryKey&) = delete;
  RegistryKey(RegistryKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  RegistryKey& operator=(RegistryKey&&) = delete;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY* out() noexcept { return &key_; }
  HKEY get() const noexcept { return key_; }

 private:
  HKEY key_ = nullptr;
};

// The thread's membership of a single-threaded apartment: CoInitializeEx, and
// CoUninitialize once for each initialisation that succeeded (S_FALSE included).
class ComApartment {
 public:
  ComApartment() = default;
  ComApartment(const ComApartment&) = delete;  // a copy would leave COM twice
  ComApartment& operator=(const ComApartment&) = delete;
  ComApartment(ComApartment&& other) noexcept : entered_(std::exchange(other.entered_, false)) {}
  ComApartment& operator=(ComApartment&&) = delete;
  ~ComApartment() { leave(); }
  HRESULT enter() noexcept {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(hr)) entered_ = true;
    return hr;
  }
  void leave() noexcept {
    if (std::exchange(entered_, false)) CoUninitialize();
  }

 private:
  bool entered_ = false;
};

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
    HRESULT hr = apartment_.enter();
    if (FAILED(hr)) return toStatus(hr);
    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    // RPC_E_TOO_LATE: this process (an earlier call, or the host) already set it.
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) return toStatus(hr);
    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<void**>(locator_.out()));
    if (FAILED(hr)) return toStatus(hr);
    const Bstr space(L"ROOT\\CIMV2");
    if (space.get() == nullptr) return toStatus(E_OUTOFMEMORY);
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
    apartment_.leave();
  }

 private:
  // IWbemServices::ExecQuery "WQL" forward-only and returning immediately, then
  // IEnumWbemClassObject::Next one row at a time and IWbemClassObject::Get of the
  // property; only VT_BSTR values count, converted to ANSI.
  Status collect(const wchar_t* query, const wchar_t* property,
                 std::vector<IdentityValue>& values) {
    if (services_.get() == nullptr) return toStatus(E_POINTER);
    const Bstr language(L"WQL");
    const Bstr text(query);
    const Bstr name(property);
    if (language.get() == nullptr || text.get() == nullptr || name.get() == nullptr) {
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
      Variant value;
      hr = row->Get(name.get(), 0, value.out(), nullptr, nullptr);
      if (FAILED(hr)) return toStatus(hr);
      if (value.get().vt != VT_BSTR) {
        values.emplace_back(std::nullopt);
        continue;
      }
      std::string ansi;
      if (const Status s = toAnsi(value.get().bstrVal, ansi); s != kSuccess) return s;
      values.emplace_back(std::move(ansi));
    }
  }

  // Declared first, destroyed last: COM is left after the interfaces are released.
  ComApartment apartment_;
  ComPtr<IWbemLocator> locator_;
  ComPtr<IWbemServices> services_;
};

}  // namespace

std::unique_ptr<IdentitySource> createIdentitySource() {
  return std::make_unique<WmiIdentitySource>();
}

}  // namespace hostmark
