// The DER length check that guards a certificate handed to a card provider without its
// size. Oracle: the check agrees with OpenSSL's reading of the first element's header
// (single-byte tag, definite length of at most four length bytes, content within the
// bytes), and a provider that reads as far as an accepted header says stays inside the
// buffer.
#include <openssl/asn1.h>

#include <cstring>
#include <vector>

#include "ankor/capi/platform.h"
#include "fuzz/fuzz_support.h"

namespace {

// OpenSSL's reading of the header: true when a definite-length element with a one-byte
// tag and at most four length bytes ends within the bytes.
bool opensslSaysFits(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || (data[0] & 0x1F) == 0x1F) return false;
  if ((data[1] & 0x80) != 0 && (data[1] & 0x7F) > 4) return false;
  const unsigned char* cursor = data;
  long length = 0;
  int tag = 0, objectClass = 0;
  const int flags = ASN1_get_object(&cursor, &length, &tag, &objectClass, static_cast<long>(size));
  if (flags & 0x80) return false;             // error, or content beyond the bytes
  if (flags == 0x21) return false;            // indefinite length
  const std::size_t header = static_cast<std::size_t>(cursor - data);
  return header + static_cast<std::size_t>(length) <= size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the input's bytes on the heap, so that a read past them is reported.
  std::vector<std::uint8_t> bytes(data, data + size);
  const std::uint8_t* at = bytes.empty() ? nullptr : bytes.data();
  const bool fits = ankor::capi::derElementFits(at, bytes.size());
  FUZZ_CHECK(fits == opensslSaysFits(at, bytes.size()), "check says %d for %zu bytes", fits,
             bytes.size());
  if (fits) {
    // What a provider does with the bytes: read the whole element its header announces.
    const unsigned char* cursor = at;
    long length = 0;
    int tag = 0, objectClass = 0;
    (void)ASN1_get_object(&cursor, &length, &tag, &objectClass, static_cast<long>(size));
    std::vector<std::uint8_t> element(cursor, cursor + length);
    volatile std::uint8_t sink = 0;
    for (const std::uint8_t b : element) sink = sink ^ b;
    (void)sink;
  }
  return 0;
}
