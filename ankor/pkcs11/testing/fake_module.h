// A Cryptoki module inside the test's own process, for the unit tests and the fuzz
// target of the token room: a class whose virtual methods stand for the Cryptoki
// functions. The base answers CKR_FUNCTION_NOT_SUPPORTED to every call; a test's module
// overrides the functions it needs. FakeLoader "loads" such modules: its libraries hand
// the functions out by name and through C_GetFunctionList, as a vendor's library does.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ankor/pkcs11/cryptoki.h"
#include "ankor/pkcs11/loader.h"

// The Cryptoki functions of a fake module: X(name, method, parameters, arguments).
// A function the token room starts to call is one more line here.
#define ANKOR_FAKE_CRYPTOKI_FUNCTIONS(X)                                                      \
  X(C_Initialize, initialize, (CK_VOID_PTR initArgs), (initArgs))                             \
  X(C_Finalize, finalize, (CK_VOID_PTR reserved), (reserved))                                 \
  X(C_GetSlotList, getSlotList, (CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count), \
    (tokenPresent, list, count))                                                              \
  X(C_GetSlotInfo, getSlotInfo, (CK_SLOT_ID slot, CK_SLOT_INFO_PTR info), (slot, info))       \
  X(C_GetTokenInfo, getTokenInfo, (CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info), (slot, info))    \
  X(C_GetMechanismList, getMechanismList,                                                     \
    (CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count), (slot, list, count))   \
  X(C_OpenSession, openSession,                                                               \
    (CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,              \
     CK_SESSION_HANDLE_PTR session),                                                          \
    (slot, flags, application, notify, session))                                              \
  X(C_CloseSession, closeSession, (CK_SESSION_HANDLE session), (session))                     \
  X(C_Login, login,                                                                           \
    (CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength),  \
    (session, user, pin, pinLength))                                                          \
  X(C_Logout, logout, (CK_SESSION_HANDLE session), (session))                                 \
  X(C_FindObjectsInit, findObjectsInit,                                                       \
    (CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count),                 \
    (session, attributes, count))                                                             \
  X(C_FindObjects, findObjects,                                                               \
    (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG room,                  \
     CK_ULONG_PTR found),                                                                     \
    (session, objects, room, found))                                                          \
  X(C_FindObjectsFinal, findObjectsFinal, (CK_SESSION_HANDLE session), (session))             \
  X(C_GetAttributeValue, getAttributeValue,                                                   \
    (CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,         \
     CK_ULONG count),                                                                         \
    (session, object, attributes, count))                                                     \
  X(C_SignInit, signInit,                                                                     \
    (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key),            \
    (session, mechanism, key))                                                                \
  X(C_Sign, sign,                                                                             \
    (CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR signature, \
     CK_ULONG_PTR signatureLength),                                                           \
    (session, data, dataLength, signature, signatureLength))                                  \
  X(C_GenerateKeyPair, generateKeyPair,                                                       \
    (CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR publicTemplate,  \
     CK_ULONG publicCount, CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,           \
     CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey),                        \
    (session, mechanism, publicTemplate, publicCount, privateTemplate, privateCount,          \
     publicKey, privateKey))                                                                  \
  X(C_CreateObject, createObject,                                                             \
    (CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,                  \
     CK_OBJECT_HANDLE_PTR object),                                                            \
    (session, attributes, count, object))

namespace ankor::pkcs11::fakes {

// At most this many fake modules exist at a time (one per row of the module table).
inline constexpr std::size_t kMaxFakeModules = 8;

class FakeModule;

namespace detail {

// The module behind each set of C entry points.
inline FakeModule* registry[kMaxFakeModules] = {};

struct Function {
  const char* name;
  void* address;
};

template <std::size_t Slot>
struct EntryPoints;

template <std::size_t Slot>
const std::vector<Function>& functionsOf();

template <std::size_t... Slots>
const std::vector<Function>& functionsAt(std::size_t slot, std::index_sequence<Slots...>) {
  using Lookup = const std::vector<Function>& (*)();
  static constexpr Lookup kLookups[] = {&functionsOf<Slots>...};
  return kLookups[slot]();
}

}  // namespace detail

class FakeModule {
 public:
  FakeModule() {
    for (slot_ = 0; slot_ < kMaxFakeModules; ++slot_) {
      if (detail::registry[slot_] == nullptr) {
        detail::registry[slot_] = this;
        return;
      }
    }
    throw std::logic_error("more fake modules than kMaxFakeModules");
  }
  virtual ~FakeModule() { detail::registry[slot_] = nullptr; }
  // Its C entry points call this object: a copy would share them.
  FakeModule(const FakeModule&) = delete;
  FakeModule& operator=(const FakeModule&) = delete;

#define ANKOR_FAKE_METHOD(name, method, parameters, arguments) \
  virtual CK_RV method parameters { return unsupported arguments; }
  ANKOR_FAKE_CRYPTOKI_FUNCTIONS(ANKOR_FAKE_METHOD)
#undef ANKOR_FAKE_METHOD

  // C_GetFunctionList: the table of every function inTable() names, the others empty.
  virtual CK_RV getFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    table_ = CK_FUNCTION_LIST{};
    table_.version = {2, 20};
#define ANKOR_FAKE_ENTRY(name, method, parameters, arguments) \
    if (inTable(#name)) table_.name = reinterpret_cast<CK_##name>(function(#name));
    ANKOR_FAKE_CRYPTOKI_FUNCTIONS(ANKOR_FAKE_ENTRY)
#undef ANKOR_FAKE_ENTRY
    *list = &table_;
    return CKR_OK;
  }

  // Whether its library exports the function of that name (C_GetFunctionList
  // included); every one unless a module says otherwise.
  [[nodiscard]] virtual bool exports(std::string_view name) const {
    (void)name;
    return true;
  }
  // Whether C_GetFunctionList's table holds the function; every one by default.
  [[nodiscard]] virtual bool inTable(std::string_view name) const {
    (void)name;
    return true;
  }
  // A library of this module is unloaded.
  virtual void unloaded() {}

  // The C entry point of that name for this module, or nullptr for a name that is no
  // function of the list.
  [[nodiscard]] void* function(std::string_view name) const {
    for (const detail::Function& f :
         detail::functionsAt(slot_, std::make_index_sequence<kMaxFakeModules>{})) {
      if (name == f.name) return f.address;
    }
    return nullptr;
  }

  // The names of the functions a fake module has, C_GetFunctionList last.
  static const std::vector<std::string>& functionNames() {
    static const std::vector<std::string> names = [] {
      std::vector<std::string> all;
      for (const detail::Function& f : detail::functionsOf<0>()) all.push_back(f.name);
      return all;
    }();
    return names;
  }

 private:
  template <typename... Arguments>
  static CK_RV unsupported(const Arguments&...) {
    return CKR_FUNCTION_NOT_SUPPORTED;
  }

  std::size_t slot_ = 0;
  CK_FUNCTION_LIST table_{};
};

namespace detail {

template <std::size_t Slot>
struct EntryPoints {
#define ANKOR_FAKE_ENTRY_POINT(name, method, parameters, arguments) \
  static CK_RV name parameters { return registry[Slot]->method arguments; }
  ANKOR_FAKE_CRYPTOKI_FUNCTIONS(ANKOR_FAKE_ENTRY_POINT)
#undef ANKOR_FAKE_ENTRY_POINT
  static CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return registry[Slot]->getFunctionList(list);
  }
};

template <std::size_t Slot>
const std::vector<Function>& functionsOf() {
  static const std::vector<Function> functions = {
#define ANKOR_FAKE_ADDRESS(name, method, parameters, arguments) \
  {#name, reinterpret_cast<void*>(&EntryPoints<Slot>::name)},
      ANKOR_FAKE_CRYPTOKI_FUNCTIONS(ANKOR_FAKE_ADDRESS)
#undef ANKOR_FAKE_ADDRESS
      {"C_GetFunctionList", reinterpret_cast<void*>(&EntryPoints<Slot>::C_GetFunctionList)},
  };
  return functions;
}

}  // namespace detail

// A loaded fake module: the functions it exports and the loader does not hide.
class FakeLibrary final : public Library {
 public:
  FakeLibrary(FakeModule& module, std::set<std::string> hidden)
      : module_(module), hidden_(std::move(hidden)) {}
  ~FakeLibrary() override { module_.unloaded(); }
  void* symbol(const char* name) const override {
    if (hidden_.count(name) > 0 || !module_.exports(name)) return nullptr;
    return module_.function(name);
  }

 private:
  FakeModule& module_;
  std::set<std::string> hidden_;
};

// Files "present" exist; loading one of "unloadable" fails with a system text naming
// the path; loading any other path gives a library of moduleAt(path) that does not
// export the names of hiddenAt(path) ("missing" unless a loader says otherwise).
// Records every question in "asked".
class FakeLoader : public Loader {
 public:
  std::set<std::string> present;
  std::set<std::string> unloadable;
  std::set<std::string> missing;
  std::vector<std::string> asked;
  std::function<FakeModule&(const std::string& path)> moduleAt;

  bool exists(const std::string& path) override {
    asked.push_back("exists " + path);
    return present.count(path) > 0;
  }
  LoadResult load(const std::string& path) override {
    asked.push_back("load " + path);
    if (unloadable.count(path) > 0) return {nullptr, "no library at " + path};
    return {std::make_unique<FakeLibrary>(moduleAt(path), hiddenAt(path)), ""};
  }

 protected:
  virtual std::set<std::string> hiddenAt(const std::string& path) {
    (void)path;
    return missing;
  }
};

}  // namespace ankor::pkcs11::fakes
