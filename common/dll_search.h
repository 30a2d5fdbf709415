// The DLL search path of a process: the working directory, which another user may be
// able to write, must never supply a module (a vendor module's dependencies, msi.dll,
// CRYPT32.dll, the COM servers).
#pragma once

namespace tarvo {

// Windows: SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) where the system
// has it (looked up with GetProcAddress), else SetDllDirectoryA(""), which takes the
// working directory out of the classic search order. Returns false when that failed. Linux: true, nothing to do (the loader never searches the
// working directory unless told to).
bool removeWorkingDirectoryFromDllSearch() noexcept;

}  // namespace tarvo
