#include "orvask/product_property.h"

#include <cstring>
#include <vector>

namespace orvask {

namespace {

// The text before the first zero of the buffer, or the whole buffer when it has none.
std::string textOf(const std::vector<char>& buffer) {
  const void* zero = std::memchr(buffer.data(), '\0', buffer.size());
  const std::size_t size = zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - buffer.data())
                                           : buffer.size();
  return std::string(buffer.data(), size);
}

}  // namespace

std::string readPropertyText(std::uint32_t bufferSize, const PropertyCall& call) {
  if (bufferSize == 0) return {};
  std::vector<char> value(bufferSize, '\0');
  std::uint32_t length = bufferSize;
  std::uint32_t rc = call(value.data(), length);
  if (rc == kPropertyMoreData) {
    // The platform reports the length it needs; anything beyond the bound is not trusted.
    if (length > kMaxPropertyLength) return {};
    value.assign(std::size_t{length} + 1, '\0');
    length += 1;
    rc = call(value.data(), length);
  }
  if (rc != 0) return {};
  return textOf(value);
}

}  // namespace orvask
