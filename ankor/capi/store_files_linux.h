// The Linux key store's files: where they live, how they are read and how they are
// replaced. Calls report failure as the Windows last-error code they stand for (0 on
// success); no handle is involved.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ankor::capi {

struct StorePaths {
  std::string root;        // .../ankor
  std::string containers;  // one <escaped lower-cased name>.key per container
  std::string stores;      // one directory per certificate store
};

// $XDG_DATA_HOME/ankor when that is an absolute path, else ~/.local/share/ankor
// (HOME, or the password database); nullopt when there is no home.
std::optional<StorePaths> storePaths();

// The file of the container with this name.
std::string containerFilePath(const StorePaths& paths, const std::string& name);

// The Windows code of a failed file call's errno.
std::uint32_t errnoCode(int error);

// Creates the directory and its missing parents; the last level with lastMode.
[[nodiscard]] std::uint32_t makeDirectories(const std::string& path, mode_t lastMode);

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::string> readStoreFile(const std::string& path);

enum class WriteMode { Replace, CreateNew };

// Writes a temporary file beside the target (mode 0600), flushes it to disk and moves
// it into place, so a crash leaves either the old or the new file, never half of one.
// CreateNew links it instead and fails with NTE_EXISTS when the target exists.
[[nodiscard]] std::uint32_t writeFileAtomically(const std::string& path,
                                                const std::string& content, WriteMode mode);

// The names of the containers as created, in byte order; a file without a readable
// name line gives the name its file name spells.
std::vector<std::string> listContainerNames(const StorePaths& paths);

}  // namespace ankor::capi
