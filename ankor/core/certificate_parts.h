// The parts of one DER X.509 certificate that a token's certificate object carries
// beside the certificate itself, and the interface through which the token room has a
// certificate taken apart. The CryptoAPI room implements it (CertCreateCertificateContext
// on Windows, OpenSSL on Linux); the program hands it to the token room, which links no
// platform parser of its own.
#pragma once

#include <optional>

#include "ankor/core/encoding.h"

namespace ankor {

struct CertificateParts {
  Bytes subject;  // DER of the subject Name
  Bytes issuer;   // DER of the issuer Name
  Bytes serial;   // the serial INTEGER's content: two's complement, most significant byte first
};

class CertificateParser {
 public:
  virtual ~CertificateParser() = default;
  // The parts of the bytes when they are exactly one DER X.509 certificate (nothing
  // before or after it); nothing otherwise.
  [[nodiscard]] virtual std::optional<CertificateParts> parse(const Bytes& der) const = 0;
};

// The DER INTEGER of a serial's content (tag 02, definite length, the content).
Bytes derInteger(const Bytes& content);

}  // namespace ankor
