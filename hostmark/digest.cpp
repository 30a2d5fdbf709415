#include "hostmark/digest.h"

#include <algorithm>
#include <string_view>

namespace hostmark {

Status deriveTripleDesKeyMaterial(Digest& digest, const Sha1Value& hash,
                                  std::array<std::uint8_t, 24>& key) {
  std::array<char, 64> inner{};
  std::array<char, 64> outer{};
  inner.fill(0x36);
  outer.fill(0x5C);
  for (std::size_t i = 0; i < hash.size(); ++i) {
    inner[i] = static_cast<char>(inner[i] ^ hash[i]);
    outer[i] = static_cast<char>(outer[i] ^ hash[i]);
  }
  Sha1Value first{};
  Sha1Value second{};
  if (const Status s = digest.sha1({inner.data(), inner.size()}, first); s != kSuccess) return s;
  if (const Status s = digest.sha1({outer.data(), outer.size()}, second); s != kSuccess) return s;
  std::copy(first.begin(), first.end(), key.begin());
  std::copy_n(second.begin(), key.size() - first.size(), key.begin() + first.size());
  return kSuccess;
}

}  // namespace hostmark
