#include "orvask/framework.h"

#include <cstdio>

namespace orvask {

namespace {
unsigned char lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c; }
}  // namespace

int compareNoCase(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const int d = lower(static_cast<unsigned char>(a[i])) - lower(static_cast<unsigned char>(b[i]));
    if (d != 0) return d;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

FrameworkError::FrameworkError(const std::string& text) : std::runtime_error(text) {}

std::string FrameworkError::errorMessage() const { return boundedErrorText(*this); }

void FrameworkError::report() const noexcept {
  try {
    const std::string text = errorMessage();
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  } catch (...) {
    // Reporting must never fail the caller's loop.
  }
}

std::string boundedErrorText(const std::exception& failure) {
  std::string text = failure.what();
  if (text.size() > FrameworkError::kMaxErrorText) text.resize(FrameworkError::kMaxErrorText);
  return text;
}

}  // namespace orvask
