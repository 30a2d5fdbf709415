#include <windows.h>

#include <cstring>

#include "ankor/front/process.h"

namespace ankor {

// A write to a closed pipe fails with ERROR_NO_DATA; no signal ends the process.
void prepareProcess() noexcept {}

std::string readStandardInput(std::size_t maxBytes) {
  std::string buffer(maxBytes, '\0');
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return {};
  std::size_t used = 0;
  while (used < maxBytes) {
    DWORD n = 0;
    // The end of a pipe reads as a failure (ERROR_BROKEN_PIPE), of a file as 0 bytes.
    if (!ReadFile(input, buffer.data() + used, static_cast<DWORD>(maxBytes - used), &n, nullptr) ||
        n == 0) {
      break;
    }
    const bool lineEnd = std::memchr(buffer.data() + used, '\n', n) != nullptr;
    used += n;
    if (lineEnd) break;
  }
  buffer.resize(used);  // shrinking keeps the buffer
  return buffer;
}

}  // namespace ankor
