// Times the identifier computation: a whole retrieveMachineID call, the source alone
// (WMI and the registry on Windows, sysfs and /etc/machine-id on Linux) and the digest
// alone. Prints one line per measurement with the median and the mean in microseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "hostmark/fingerprint.h"

namespace {

using Clock = std::chrono::steady_clock;

bool measure(const char* name, int rounds, const std::function<hostmark::Status()>& call) {
  std::vector<double> micros;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    const hostmark::Status status = call();
    const auto stop = Clock::now();
    if (status != hostmark::kSuccess) {
      std::printf("%s: failed with status 0x%08X\n", name, static_cast<unsigned>(status));
      return false;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
  }
  std::sort(micros.begin(), micros.end());
  const double mean = std::accumulate(micros.begin(), micros.end(), 0.0) / micros.size();
  std::printf("%-28s rounds %5d  median %10.1f us  mean %10.1f us  max %10.1f us\n", name,
              rounds, micros[micros.size() / 2], mean, micros.back());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const auto digest = hostmark::createDigest();
  bool ok = true;
  // The body of the retrieveMachineID export: its own source and digest, the buffer.
  ok &= measure("retrieveMachineID", rounds, [] {
    char buffer[45] = {};
    const auto source = hostmark::createIdentitySource();
    const auto digest = hostmark::createDigest();
    return hostmark::retrieveIntoBuffer(*source, *digest, buffer, 0);
  });
  // Windows: COM, the WMI connection and both queries, and the registry read.
  ok &= measure("identity sources only", rounds, [&] {
    const auto source = hostmark::createIdentitySource();
    std::string text;
    return hostmark::collectIdentityText(*source, false, text);
  });
  ok &= measure("SHA-1 and format only", rounds, [&] {
    hostmark::Sha1Value value{};
    const hostmark::Status s = digest->sha1("WINEHDISK0{0f6b1c2e-0000-4000-8000-00000000abcd}", value);
    return s == hostmark::kSuccess && hostmark::formatIdentifier(value).size() == 44 ? s : 1u;
  });
  ok &= measure("keyed identifier (whole)", rounds, [&] {
    const auto source = hostmark::createIdentitySource();
    std::string identifier;
    return hostmark::computeKeyedIdentifier(*source, *digest, "bench", false, identifier);
  });
  return ok ? 0 : 1;
}
