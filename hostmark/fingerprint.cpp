#include "hostmark/fingerprint.h"

#include <cstring>
#include <new>
#include <vector>

namespace hostmark {
namespace {

// Closes the source when the computation leaves, on every path.
class SourceCloser {
 public:
  explicit SourceCloser(IdentitySource& source) : source_(source) {}
  SourceCloser(const SourceCloser&) = delete;  // a copy would close twice
  SourceCloser& operator=(const SourceCloser&) = delete;
  ~SourceCloser() { source_.close(); }

 private:
  IdentitySource& source_;
};

void appendValues(const std::vector<IdentityValue>& values, std::string& text) {
  for (const IdentityValue& value : values) {
    if (value) text += *value;
  }
}

// The bytes the platform hashes: the text up to its first zero byte.
std::string_view upToFirstZero(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

// The identity text from an open source; the caller closes it.
Status collectFromOpenSource(IdentitySource& source, bool secureProxy, std::string& text) {
  if (const Status s = source.open(secureProxy); s != kSuccess) return s;
  std::vector<IdentityValue> values;
  if (const Status s = source.diskSerials(values); s != kSuccess) return s;
  std::string joined;
  appendValues(values, joined);
  values.clear();
  if (const Status s = source.firmwareSerials(values); s != kSuccess) return s;
  appendValues(values, joined);
  std::string machineIdentifier;
  if (const Status s = source.machineIdentifier(machineIdentifier); s != kSuccess) return s;
  joined += upToFirstZero(machineIdentifier);
  text = std::move(joined);
  return kSuccess;
}

}  // namespace

std::string formatIdentifier(const Sha1Value& digest) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string identifier;
  identifier.reserve(kIdentifierLength);
  for (std::size_t i = 0; i < digest.size(); ++i) {
    if (i != 0 && i % 4 == 0) identifier += '-';
    identifier += kHex[digest[i] >> 4];
    identifier += kHex[digest[i] & 0x0F];
  }
  return identifier;
}

Status collectIdentityText(IdentitySource& source, bool secureProxy, std::string& text) {
  SourceCloser closer(source);
  return collectFromOpenSource(source, secureProxy, text);
}

Status computeIdentifier(IdentitySource& source, Digest& digest, bool secureProxy,
                         std::string& identifier) {
  // The connection stays open until the digest is taken, and is closed on every path.
  SourceCloser closer(source);
  std::string text;
  if (const Status s = collectFromOpenSource(source, secureProxy, text); s != kSuccess) {
    return s;
  }
  Sha1Value value{};
  if (const Status s = digest.sha1(upToFirstZero(text), value); s != kSuccess) return s;
  identifier = formatIdentifier(value);
  return kSuccess;
}

Status computeKeyedIdentifier(IdentitySource& source, Digest& digest, std::string_view key,
                              bool secureProxy, std::string& identifier) {
  std::string plain;
  if (const Status s = computeIdentifier(source, digest, secureProxy, plain); s != kSuccess) {
    return s;
  }
  Sha1Value value{};
  if (const Status s = digest.keyedSha1(upToFirstZero(key), plain, value); s != kSuccess) {
    return s;
  }
  identifier = formatIdentifier(value);
  return kSuccess;
}

Status retrieveIntoBuffer(IdentitySource& source, Digest& digest, char* buffer,
                          unsigned int secureProxy) {
  if (buffer == nullptr) return kInvalidParameter;
  try {
    std::string identifier;
    const Status s = computeIdentifier(source, digest, (secureProxy & 0xFF) != 0, identifier);
    if (s != kSuccess) return s;
    std::memcpy(buffer, identifier.data(), kIdentifierLength);
    return kSuccess;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

Status retrieveKeyedIntoBuffer(IdentitySource& source, Digest& digest, const char* key,
                               char* buffer, unsigned int secureProxy) {
  if (buffer == nullptr) return kInvalidParameter;
  std::memset(buffer, 0, 4);
  if (key == nullptr) return kInvalidParameter;
  const Status s = retrieveIntoBuffer(source, digest, buffer, secureProxy);
  if (s != kSuccess) return s;
  try {
    Sha1Value value{};
    const std::string_view plain(buffer, kIdentifierLength);
    if (const Status k = digest.keyedSha1(key, plain, value); k != kSuccess) {
      // A caller that ignores the status must not take the plain identifier for the keyed one.
      std::memset(buffer, 0, kIdentifierLength);
      return k;
    }
    const std::string identifier = formatIdentifier(value);
    std::memcpy(buffer, identifier.data(), kIdentifierLength);
    return kSuccess;
  } catch (const std::bad_alloc&) {
    std::memset(buffer, 0, kIdentifierLength);
    return kOutOfMemory;
  }
}

}  // namespace hostmark
