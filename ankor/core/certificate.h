// What the listings show of an X.509 certificate: its names as RFC 4514 strings, its
// serial number in hexadecimal and its validity in ISO 8601 UTC, and the interface
// through which a room has a certificate decoded. The CryptoAPI room implements it
// (CryptoAPI on Windows, OpenSSL on Linux); the program hands it to the token room.
// Both targets render the fields with the functions here, so one certificate reads
// the same on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "ankor/core/encoding.h"

namespace ankor {

// A moment in UTC as the platform's decoder gives it.
struct UtcTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The pieces a platform takes out of a certificate; the rendering is common.
struct DecodedCertificate {
  Bytes subject;  // DER of the subject Name
  Bytes issuer;   // DER of the issuer Name
  Bytes serial;   // the INTEGER's content: two's complement, most significant byte first
  UtcTime notBefore;
  UtcTime notAfter;
};

// The decoded members of a listing record.
struct CertificateFields {
  std::string subject;
  std::string issuer;
  std::string serialNumber;
  std::string notBefore;
  std::string notAfter;
};

class CertificateDecoder {
 public:
  virtual ~CertificateDecoder() = default;
  // The fields of one DER certificate; nothing when the platform cannot parse it.
  [[nodiscard]] virtual std::optional<CertificateFields> decode(const Bytes& der) const = 0;
  // The pieces of the bytes when they are exactly one DER X.509 certificate (nothing
  // after it), as the token room writes them beside an imported certificate; nothing
  // otherwise, and nothing from a decoder that does not take certificates apart.
  [[nodiscard]] virtual std::optional<DecodedCertificate> parse(const Bytes& der) const {
    (void)der;
    return std::nullopt;
  }
};

// The DER INTEGER of a serial's content (tag 02, definite length, the content): the
// value of a certificate object's CKA_SERIAL_NUMBER.
Bytes derInteger(const Bytes& content);

// The tag, header length and content length of the DER element at the start of the
// bytes (single-byte tag, definite length); nothing when it does not end within them.
struct DerHeader {
  std::uint8_t tag = 0;
  std::size_t headerLength = 0;
  std::size_t contentLength = 0;
};
std::optional<DerHeader> derHeader(const std::uint8_t* data, std::size_t size);

// A DER Name as an RFC 4514 string: the RDNs last first, joined by ","; the attributes
// of one RDN in their encoded order, joined by "+". CN, L, ST, O, OU, C, STREET, DC and
// UID are named, every other type is its dotted OID. A value of a named type that is a
// character string (UTF8String, PrintableString, IA5String, NumericString,
// VisibleString, TeletexString read as Latin-1, BMPString, UniversalString) is written
// as UTF-8 text, escaping , + " \ < > ; a leading space or #, a trailing space and the
// control characters (as \XX); any other value is # and the hexadecimal of its DER.
// Nothing when the bytes are not one well-formed Name.
std::optional<std::string> rfc4514Name(const std::uint8_t* der, std::size_t size);
inline std::optional<std::string> rfc4514Name(const Bytes& der) {
  return rfc4514Name(der.data(), der.size());
}

// A serial number from its two's complement content: lower-case hexadecimal of its
// magnitude without leading zero bytes ("00" for zero), "-" before a negative one.
std::string serialNumberText(const Bytes& twosComplement);

// "YYYY-MM-DDTHH:MM:SSZ"; nothing for a field out of its range.
std::optional<std::string> isoUtcText(const UtcTime& time);

// The texts of the pieces; nothing when a name or a time does not render.
std::optional<CertificateFields> describeCertificate(const DecodedCertificate& decoded);

// The certificate members of a listing record: "certificate" (Base64 of the DER) and
// "subject", "issuer", "serialNumber", "notBefore", "notAfter", all null when the
// decoder cannot read the certificate.
void putCertificateMembers(nlohmann::json& record, const Bytes& der,
                           const CertificateDecoder& decoder);

}  // namespace ankor
