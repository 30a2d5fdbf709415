// Process-wide set-up of ankor that differs by platform.
#pragma once

namespace ankor {

// Linux: ignores SIGPIPE, so a host that closes its end of the output pipe early
// makes the write fail instead of ending the run with a signal (the exit status stays
// 0). Windows has no such signal: nothing to do.
void prepareProcess() noexcept;

}  // namespace ankor
