// A fresh temporary directory for a test, a fuzz target or a benchmark: created empty,
// readable and writable by its owner only, and removed with everything in it when its
// owner goes.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace tarvo::testing {

class TempDir {
 public:
  // A new directory "<prefix>-<random>" under base (the system's temporary directory
  // when base is empty). Throws std::filesystem::filesystem_error when none can be made.
  explicit TempDir(std::string_view prefix = "tarvo-test", std::filesystem::path base = {}) {
    if (base.empty()) base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
      path_ = base / (std::string(prefix) + "-" + std::to_string(random()));
      // create_directory answers false for a name that exists: another run's, try again.
      if (std::filesystem::create_directory(path_)) break;
      if (attempt == 100) {
        throw std::filesystem::filesystem_error(
            "no fresh temporary directory", path_,
            std::make_error_code(std::errc::file_exists));
      }
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;  // one owner removes the directory
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::string string() const { return path_.string(); }
  // The path of a name inside the directory.
  [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace tarvo::testing
