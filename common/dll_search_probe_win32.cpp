// Shows where this process looks for a DLL named without a path. The working
// directory holds planted_before.dll and planted_after.dll (any DLL, copied); then
//   dll_search_probe none              does nothing between the two loads,
//   dll_search_probe function          calls removeWorkingDirectoryFromDllSearch,
//   dll_search_probe library PATH      calls the C export retrieveMachineID of the
//                                      identity library at PATH (as a host would),
// and prints whether planted_after.dll was then taken from the working directory.
// Exit status 0 when planted_before.dll loaded (the directory was searched at first)
// and the system's own msi.dll and crypt32.dll still load afterwards.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "common/dll_search.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (LoadLibraryA("planted_before.dll") == nullptr) {
    std::printf("FAIL: planted_before.dll did not load from the working directory\n");
    return 1;
  }
  if (std::strcmp(argv[1], "function") == 0) {
    if (!tarvo::removeWorkingDirectoryFromDllSearch()) std::printf("FAIL: the call failed\n");
  } else if (std::strcmp(argv[1], "library") == 0 && argc > 2) {
    const HMODULE library = LoadLibraryA(argv[2]);
    using Retrieve = unsigned int(__stdcall*)(char*, unsigned int);
    const auto retrieve =
        library == nullptr ? nullptr
                           : reinterpret_cast<Retrieve>(reinterpret_cast<void*>(GetProcAddress(library, "retrieveMachineID")));
    if (retrieve == nullptr) {
      std::printf("FAIL: no retrieveMachineID in %s\n", argv[2]);
      return 1;
    }
    char buffer[64] = {};
    (void)retrieve(buffer, 0);
  } else if (std::strcmp(argv[1], "none") != 0) {
    return 2;
  }
  std::printf("%s\n", LoadLibraryA("planted_after.dll") != nullptr ? "loaded" : "not loaded");
  for (const char* system : {"msi.dll", "crypt32.dll"}) {
    if (LoadLibraryA(system) == nullptr) {
      std::printf("FAIL: %s no longer loads\n", system);
      return 1;
    }
  }
  return 0;
}
