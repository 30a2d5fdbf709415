// Loads TarvoHostmark_V_1_0_1_0.dll by name (from the directory given as argument) and
// calls both C exports through GetProcAddress with their undecorated names. Checks the
// buffer contract and the COM apartment rules itself; prints the identifiers for
// wine_test.sh to compare with what Wine reports. The four decorated JNI exports are
// called with a recording JNI function table in place of a JVM.
// With "expect STATUS" after the directory, every export must fail with that status
// instead (wine_registry_test.sh breaks the registry value of a private prefix). Exit status 0 when every check holds.
#include <windows.h>
#include <objbase.h>
#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hostmark/fake_jni.h"

namespace {

using RetrieveMachineId = unsigned int(__stdcall*)(char*, unsigned int);
using RetrieveMachineIdOt = unsigned int(__stdcall*)(const char*, char*, unsigned int);
using JavaPlain = void(JNICALL*)(JNIEnv*, jclass, jobject);
using JavaKeyed = void(JNICALL*)(JNIEnv*, jclass, jstring, jobject);

RetrieveMachineId plain = nullptr;
RetrieveMachineIdOt keyed = nullptr;
int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    ++failures;
    std::printf("FAIL: %s\n", what);
  }
}

// GetProcAddress's result as the function type it stands for.
template <class Function>
Function lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A caller's buffer: 45 zeros, then a guard that must stay untouched.
struct Buffer {
  char bytes[64];
  Buffer() {
    std::memset(bytes, 0, 45);
    std::memset(bytes + 45, 'G', sizeof bytes - 45);
  }
  bool guardIntact() const {
    if (bytes[44] != '\0') return false;
    for (std::size_t i = 45; i < sizeof bytes; ++i) {
      if (bytes[i] != 'G') return false;
    }
    return true;
  }
};

std::string callPlain(unsigned int secureProxy, unsigned int& status) {
  Buffer buffer;
  status = plain(buffer.bytes, secureProxy);
  check(buffer.guardIntact(), "plain call wrote past 44 bytes");
  return buffer.bytes;
}

std::string callKeyed(const char* key, unsigned int secureProxy, unsigned int& status) {
  Buffer buffer;
  status = keyed(key, buffer.bytes, secureProxy);
  check(buffer.guardIntact(), "keyed call wrote past 44 bytes");
  return buffer.bytes;
}

// A thread of the multithreaded apartment is refused with RPC_E_CHANGED_MODE and gets
// nothing written.
DWORD WINAPI multithreadedCaller(void*) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  Buffer buffer;
  const unsigned int status = plain(buffer.bytes, 0);
  std::printf("mta-status=0x%08X\n", status);
  check(status == 0x80010106u, "MTA thread not refused with RPC_E_CHANGED_MODE");
  check(buffer.bytes[0] == '\0' && buffer.guardIntact(), "refused call wrote to the buffer");
  CoUninitialize();
  return 0;
}

// COM is left exactly once per call: a caller's own apartment survives the call (the
// library got S_FALSE and balanced it), and a fresh thread is left without any.
DWORD WINAPI apartmentCaller(void*) {
  if (CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) != S_OK) return 1;
  unsigned int status = 0;
  callPlain(0, status);
  check(status == 0, "call inside the caller's apartment failed");
  check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_FALSE,
        "the library left the caller's apartment");
  CoUninitialize();
  CoUninitialize();
  return 0;
}

DWORD WINAPI freshCaller(void*) {
  unsigned int status = 0;
  callPlain(0, status);
  check(status == 0, "call on a fresh thread failed");
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  check(hr == S_OK, "the library did not leave COM on a fresh thread");
  if (SUCCEEDED(hr)) CoUninitialize();
  return 0;
}

void runOnThread(LPTHREAD_START_ROUTINE routine, const char* what) {
  HANDLE thread = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
  if (thread == nullptr) {
    check(false, what);
    return;
  }
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  check(code == 0, what);
}

// Every export fails with the expected status and hands out no identifier.
void expectFailure(HMODULE module, unsigned int expected) {
  Buffer buffer;
  unsigned int status = plain(buffer.bytes, 0);
  std::printf("plain status=%u\n", status);
  check(status == expected, "plain export's status");
  check(buffer.bytes[0] == '\0' && buffer.guardIntact(), "failed plain call wrote to the buffer");

  Buffer keyedBuffer;
  std::memset(keyedBuffer.bytes, 'x', 44);
  status = keyed("key", keyedBuffer.bytes, 1);
  std::printf("keyed status=%u\n", status);
  check(status == expected, "keyed export's status");
  check(std::memcmp(keyedBuffer.bytes, "\0\0\0\0xxxx", 8) == 0 && keyedBuffer.guardIntact(),
        "failed keyed call: first four bytes zero, the rest untouched");

  for (const char* method : {"retrieveMachineID@12", "retrieveMachineIDOTV1010@16"}) {
    const std::string name = std::string("_Java_org_tarvo_hostmark_Hostmark_") + method;
    hostmark::testing::FakeJni jni;
    if (std::strstr(method, "OT") != nullptr) {
      const auto entry = lookup<JavaKeyed>(module, name.c_str());
      if (entry != nullptr) entry(jni.env(), nullptr, jni.key(), jni.callback());
    } else {
      const auto entry = lookup<JavaPlain>(module, name.c_str());
      if (entry != nullptr) entry(jni.env(), nullptr, jni.callback());
    }
    check(jni.machineIds == std::vector<std::string>{""}, "JNI export's empty identifier");
    check(jni.errors == std::vector<jlong>{static_cast<jlong>(expected)}, "JNI export's status");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) SetDllDirectoryA(argv[1]);
  HMODULE module = LoadLibraryA("TarvoHostmark_V_1_0_1_0.dll");
  if (module == nullptr) {
    std::printf("FAIL: LoadLibraryA error %lu\n", GetLastError());
    return 1;
  }
  plain = lookup<RetrieveMachineId>(module, "retrieveMachineID");
  keyed = lookup<RetrieveMachineIdOt>(module, "retrieveMachineIDOT");
  if (plain == nullptr || keyed == nullptr) {
    std::printf("FAIL: GetProcAddress of the undecorated names\n");
    return 1;
  }

  if (argc > 3 && std::strcmp(argv[2], "expect") == 0) {
    expectFailure(module, static_cast<unsigned int>(std::strtoul(argv[3], nullptr, 0)));
    FreeLibrary(module);
    std::printf("failures=%d\n", failures);
    return failures == 0 ? 0 : 1;
  }

  unsigned int status = 0;
  const std::string first = callPlain(0, status);
  std::printf("plain=%s status=%u\n", first.c_str(), status);
  // The second call on the same thread meets RPC_E_TOO_LATE from CoInitializeSecurity.
  const std::string again = callPlain(0, status);
  check(status == 0 && again == first, "second call on the same thread differs");
  const std::string secure = callPlain(1, status);
  std::printf("secure=%s status=0x%08X\n", secure.c_str(), status);
  const std::string keyedA = callKeyed("tarvo", 0, status);
  std::printf("keyed-a=%s status=%u\n", keyedA.c_str(), status);
  const std::string keyedA2 = callKeyed("tarvo", 1, status);
  std::printf("keyed-a-secure=%s status=0x%08X\n", keyedA2.c_str(), status);
  const std::string keyedB = callKeyed("other key", 0, status);
  std::printf("keyed-b=%s status=%u\n", keyedB.c_str(), status);

  check(plain(nullptr, 0) == 87, "null buffer not refused");
  Buffer refused;
  std::memset(refused.bytes, 'x', 8);
  check(keyed(nullptr, refused.bytes, 0) == 87 && refused.bytes[3] == '\0' &&
            refused.bytes[4] == 'x',
        "null key not refused after zeroing four bytes");

  // The JNI exports by their decorated names: both callbacks, the same identifiers.
  const std::string keyedKey = callKeyed("key", 0, status);
  const char* prefix = "_Java_org_tarvo_hostmark_Hostmark_";
  for (const char* method : {"retrieveMachineID@12", "retrieveMachineIDV1010@12",
                             "retrieveMachineIDOT@16", "retrieveMachineIDOTV1010@16"}) {
    const std::string name = std::string(prefix) + method;
    const bool isKeyed = std::strstr(method, "OT") != nullptr;
    hostmark::testing::FakeJni jni;
    if (isKeyed) {
      const auto entry = lookup<JavaKeyed>(module, name.c_str());
      check(entry != nullptr, name.c_str());
      if (entry != nullptr) entry(jni.env(), nullptr, jni.key(), jni.callback());
    } else {
      const auto entry = lookup<JavaPlain>(module, name.c_str());
      check(entry != nullptr, name.c_str());
      if (entry != nullptr) entry(jni.env(), nullptr, jni.callback());
    }
    const std::string received = jni.machineIds.empty() ? "none" : jni.machineIds.front();
    std::printf("jni %s=%s\n", method, received.c_str());
    check(received == (isKeyed ? keyedKey : first), "JNI export's identifier");
    check(jni.errors.size() == 1 && jni.errors[0] == 0, "JNI export's status");
    check(!isKeyed || jni.calls.back() == "ReleaseStringUTFChars", "JNI key released last");
  }

  runOnThread(multithreadedCaller, "multithreaded caller");
  runOnThread(apartmentCaller, "caller with its own apartment");
  runOnThread(freshCaller, "caller on a fresh thread");

  FreeLibrary(module);
  std::printf("failures=%d\n", failures);
  return failures == 0 ? 0 : 1;
}
