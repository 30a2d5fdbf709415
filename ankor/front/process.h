// Process-wide facilities of ankor that differ by platform.
#pragma once

#include <cstddef>
#include <string>

namespace ankor {

// Linux: ignores SIGPIPE, so a host that closes its end of the output pipe early
// makes the write fail instead of ending the run with a signal (the exit status stays
// 0). Windows has no such signal: nothing to do.
void prepareProcess() noexcept;

// Reads standard input (read / ReadFile, no C runtime buffer) until a line feed has
// arrived, the input ends or fails, or maxBytes bytes are in; returns what was read,
// possibly with bytes after the line feed. Empty when there is no standard input. The
// text lives in one buffer of maxBytes, never moved, so the caller can wipe it.
std::string readStandardInput(std::size_t maxBytes);

}  // namespace ankor
