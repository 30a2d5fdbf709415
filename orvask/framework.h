#pragma once
// The small application layer the checker needs from its platform: a start-up step
// that can fail, the text operations of the command line, and a failure type that
// carries a bounded error text and can be reported to the user.
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvask {

// How the platform start-up ended. Both failures end the run with status 255 and the
// Windows program's log lines ("GetModuleHandle falhou", "Erro de inicializacao na MFC").
enum class StartupStatus {
  Ready,
  // Standard output is closed, or a closed standard descriptor could not be given the
  // null device; on Windows also GetModuleHandleA(NULL) failing.
  NoStandardOutput,
  // Windows: GetCommandLineA gave nothing. Linux: SIGPIPE could not be ignored.
  ProcessSetupFailed,
};

// Platform start-up. Windows: GetModuleHandleA(NULL), then GetCommandLineA and the
// process error mode (no system dialog may block an unattended run).
// Both: descriptors 0 to 2 that are closed are opened on the null device, so that no
// file of the program takes their place; a closed standard output fails the start-up.
// Linux also ignores SIGPIPE (a reader that went away makes the write fail instead).
[[nodiscard]] StartupStatus platformStartup();

// Case-insensitive comparison of ASCII letters, byte-wise otherwise (_mbsicmp on
// single-byte text); 0 when equal.
[[nodiscard]] int compareNoCase(std::string_view a, std::string_view b);

// A framework failure: an error text of at most kMaxErrorText characters.
class FrameworkError : public std::runtime_error {
 public:
  static constexpr std::size_t kMaxErrorText = 253;
  explicit FrameworkError(const std::string& text);
  // The error text, cut to kMaxErrorText characters.
  [[nodiscard]] std::string errorMessage() const;
  // Shows the error text to the user. Both targets write one line to standard error:
  // the checker runs as an unattended child process, and a message box would wait
  // for a click that never comes.
  void report() const noexcept;
};

// Error text of any failure, bounded like FrameworkError::errorMessage.
[[nodiscard]] std::string boundedErrorText(const std::exception& failure);

}  // namespace orvask
