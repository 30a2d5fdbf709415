// The Linux key store's files: where they live, how they are read and how they are
// replaced. Calls report failure as the Windows last-error code they stand for (0 on
// success); no handle is involved.
#pragma once

#include <sys/types.h>

#include <cstddef>
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

// The store's own directories (containers, stores and each store) must be directories,
// never symbolic links, or files would be written outside the store; they and the
// directory holding them (the store's root for containers and stores) must belong to
// the caller and be writable by no one else, or another user could put keys and
// certificates in the caller's store (root with another user's HOME): 0 when the
// directory is such a one or absent, ERROR_ACCESS_DENIED for anything else.
[[nodiscard]] std::uint32_t checkStoreDirectory(const std::string& path);
// A file of the store must belong to the caller and, unless it is a symbolic link, be
// writable by no one else: 0 when it is or is absent, ERROR_ACCESS_DENIED otherwise.
[[nodiscard]] std::uint32_t checkStoreFile(const std::string& path);
// Creates a store directory (mode 0700, missing parents 0755), then checks it; the
// caller makes and checks the store directory above it first.
[[nodiscard]] std::uint32_t makeStoreDirectory(const std::string& path);

// Files larger than this are not store files (a container or an entry is a few KiB).
inline constexpr std::size_t kMaxStoreFileSize = 1 << 20;

// The whole content of a regular file of at most kMaxStoreFileSize bytes that belongs
// to the caller and that no one else can write; nullopt for anything else (FIFO,
// device, directory, larger file, someone else's file) or when it cannot be read.
// Never waits: neither the open nor a read blocks.
std::optional<std::string> readStoreFile(const std::string& path);

enum class WriteMode { Replace, CreateNew };

// Writes a temporary file beside the target (mode 0600), flushes it to disk and moves
// it into place, so a crash leaves either the old or the new file, never half of one.
// CreateNew links it instead and fails with NTE_EXISTS when the target exists.
// Temporary files are named ".tmp-<writer's process id>-XXXXXX"; those of writers
// that are gone are removed first (see removeStaleTemporaries).
[[nodiscard]] std::uint32_t writeFileAtomically(const std::string& path,
                                                const std::string& content, WriteMode mode);

// Removes the temporary files that killed writers left in a store directory: those
// named after a process that no longer exists, and those of an older naming
// (".tmp-<file>.XXXXXX", which records no writer) last changed over ten minutes ago.
void removeStaleTemporaries(const std::string& directory);

// The longest container name the store creates (MAX_PATH).
inline constexpr std::size_t kMaxContainerNameBytes = 260;

// The names of the containers as created, in byte order; a file without a readable
// name line, or with a name longer than any container can have, gives the name its
// file name spells. Fails (with checkStoreDirectory's
// code) when the containers directory is not a real directory; none when it is absent.
[[nodiscard]] std::uint32_t listContainerNames(const StorePaths& paths,
                                               std::vector<std::string>* names);

// The entry files ("*.cer", no hidden ones) of a store directory, in byte order of
// their names; none when the directory is absent. Fails with checkStoreDirectory's
// code when it is not a real directory.
[[nodiscard]] std::uint32_t listStoreEntryFiles(const std::string& directory,
                                                std::vector<std::string>* files);

}  // namespace ankor::capi
