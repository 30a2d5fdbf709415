#include <windows.h>
#include <aclapi.h>

#include <memory>

#include "orvask/file_guard.h"

namespace orvask {

namespace {

using Handle = tarvo::UniqueHandle<HANDLE, nullptr, CloseHandle>;

// CreateFileA's answer, INVALID_HANDLE_VALUE kept as none.
HANDLE opened(HANDLE file) { return file == INVALID_HANDLE_VALUE ? nullptr : file; }
struct LocalFreer {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};

// Rights that let someone change a file or put another in its place (for a directory
// also: add, remove or rename its entries).
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                               FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                               GENERIC_ALL;

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsValidSid(sid) && IsWellKnownSid(sid, type); }

// The user of the process's token, or null.
std::unique_ptr<BYTE[]> tokenUser() {
  Handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return nullptr;
  auto buffer = std::make_unique<BYTE[]>(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.get(), size, &size)) return nullptr;
  return buffer;
}

// The rule on an open handle's owner and DACL: empty, or why it fails.
std::string trustProblem(HANDLE file, const std::string& label) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   &owner, nullptr, &dacl, nullptr, &descriptor);
  const std::unique_ptr<void, LocalFreer> held(descriptor);
  if (rc != ERROR_SUCCESS) return label + ": GetSecurityInfo falhou (" + std::to_string(rc) + ").";
  const auto user = tokenUser();
  const PSID self = user ? reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid : nullptr;
  const bool ownOwner = owner != nullptr && ((self != nullptr && EqualSid(owner, self)) ||
                                             isWellKnown(owner, WinBuiltinAdministratorsSid) ||
                                             isWellKnown(owner, WinLocalSystemSid));
  if (!ownOwner) return label + " pertence a outro usuario, nao a quem executa, a Administrators ou a SYSTEM.";
  if (dacl == nullptr) return label + " nao tem lista de acesso: todos podem altera-lo.";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = &allowed->SidStart;
    if ((allowed->Mask & kWriteRights) == 0) continue;
    const char* who = isWellKnown(sid, WinWorldSid)              ? "Everyone"
                      : isWellKnown(sid, WinBuiltinUsersSid)       ? "Users"
                      : isWellKnown(sid, WinAuthenticatedUserSid)  ? "Authenticated Users"
                                                                   : nullptr;
    if (who != nullptr) return label + " pode ser alterado por " + who + ".";
  }
  return {};
}

// A regular file on a disk: not a reparse point, directory, device, pipe or character
// device (Wine shows a FIFO of the Unix side as one of the last two).
bool regularFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace

void closeLogFile(LogFileHandle file) noexcept { CloseHandle(file); }

bool runsWithRights() {
  Handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

LogFile openLogFile(const std::string& path, bool trustedOnly, std::string& why) {
  why.clear();
  // The reparse point itself is opened, never what it points to; nothing is emptied
  // before the checks. Others may read and write it meanwhile, as before.
  LogFile file(opened(CreateFileA(path.c_str(), GENERIC_WRITE | READ_CONTROL,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
  if (!file) return LogFile();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!regularFile(file.get(), info)) {
    why = path + " nao e um arquivo regular.";
    return LogFile();
  }
  if (info.nNumberOfLinks != 1) {
    why = path + " tem mais de um nome (link fisico).";
    return LogFile();
  }
  if (trustedOnly) {
    why = trustProblem(file.get(), path);
    if (!why.empty()) return LogFile();
  }
  if (SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(file.get()))
    return LogFile();
  return file;
}

bool writeLogFile(LogFileHandle file, std::string_view text) {
  // The layout of a text-mode stream: CR LF line ends.
  std::string converted;
  converted.reserve(text.size() + 16);
  for (const char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  std::string_view rest = converted;
  while (!rest.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(rest.size() > 0x10000000 ? 0x10000000 : rest.size());
    if (!WriteFile(file, rest.data(), chunk, &written, nullptr) || written == 0) return false;
    rest.remove_prefix(written);
  }
  return true;
}

std::string checkDatabaseFiles(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    const std::string name = path + suffix;
    // Opened as itself, for its type and attributes only; nothing is read, nothing
    // waits. (GetFileAttributesA alone is not enough: Wine answers "no such file" for
    // a FIFO of the Unix side.)
    const Handle file(opened(CreateFileA(name.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    if (!file) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;  // SQLite creates a regular file
      return name + ": nao foi possivel examina-lo (" + std::to_string(error) + ").";
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file.get(), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      return name + " e um ponto de reparse (link).";
    if (!regularFile(file.get(), info)) return name + " nao e um arquivo regular.";
  }
  return {};
}

std::string checkTrusted(const std::string& path, const std::string& label) {
  const Handle file(opened(CreateFileA(path.c_str(), READ_CONTROL,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
  if (!file) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    return label + ": nao foi possivel examina-lo (" + std::to_string(error) + ").";
  }
  return trustProblem(file.get(), label);
}

}  // namespace orvask
