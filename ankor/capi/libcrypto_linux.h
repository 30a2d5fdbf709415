// libcrypto, loaded by the Linux CryptoAPI port on its first OpenSSL call rather than
// by the dynamic loader at start-up: relocating the library costs more than a whole
// run of a command that needs no cryptography. It stays the distribution's shared
// library (opened by its SONAME, ANKOR_LIBCRYPTO_SONAME), so security updates reach it.
//
// Every function the port calls is an entry of one table, typed from the OpenSSL
// headers, and is reached through entries in ankor::capi that carry the functions'
// own names: unqualified calls there (and OpenSSL's macros, which expand to such
// calls) find the entry, never the global declaration. An entry loads the library
// before it calls, so no call can come first; when the library or one of its
// functions is missing, the call throws Unavailable and calls nothing.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace ankor::capi::libcrypto {

// X(name) for every function of the table.
#define ANKOR_LIBCRYPTO_FUNCTIONS(X)                                                    \
  X(ASN1_OBJECT_free) X(ASN1_TIME_to_tm) X(BIO_ctrl) X(BIO_free_all) X(BIO_new) X(BIO_new_mem_buf)         \
  X(BIO_s_mem) X(BN_bn2lebinpad) X(BN_free) X(BN_get_word) X(EVP_Digest)                \
  X(EVP_DigestFinal_ex) X(EVP_DigestInit_ex) X(EVP_DigestUpdate) X(EVP_MD_CTX_free)     \
  X(EVP_MD_CTX_new) X(EVP_MD_get_size) X(EVP_PKEY_CTX_free) X(EVP_PKEY_CTX_new)         \
  X(EVP_PKEY_CTX_new_from_name) X(EVP_PKEY_CTX_set_rsa_keygen_bits)                     \
  X(EVP_PKEY_CTX_set_rsa_padding) X(EVP_PKEY_CTX_set_signature_md) X(EVP_PKEY_dup)      \
  X(EVP_PKEY_free) X(EVP_PKEY_generate) X(EVP_PKEY_get_bits) X(EVP_PKEY_get_bn_param)   \
  X(EVP_PKEY_get_size) X(EVP_PKEY_keygen_init) X(EVP_PKEY_sign) X(EVP_PKEY_sign_init)   \
  X(EVP_sha1) X(EVP_sha256) X(EVP_sha384) X(EVP_sha512) X(OBJ_txt2obj)                  \
  X(PEM_read_bio_PrivateKey) X(PEM_write_bio_PrivateKey)                                \
  X(X509_NAME_ENTRY_create_by_OBJ) X(X509_NAME_ENTRY_free) X(X509_NAME_add_entry)       \
  X(X509_NAME_free) X(X509_NAME_new) X(X509_REQ_free) X(X509_REQ_new)                   \
  X(X509_REQ_set_pubkey) X(X509_REQ_set_subject_name) X(X509_REQ_set_version)           \
  X(X509_REQ_sign) X(X509_free) X(X509_get0_notAfter) X(X509_get0_notBefore)          \
  X(X509_get0_serialNumber) X(X509_get_issuer_name) X(X509_get_subject_name)           \
  X(d2i_PUBKEY) X(d2i_X509) X(d2i_X509_NAME) X(i2d_ASN1_INTEGER) X(i2d_PUBKEY)         \
  X(i2d_X509_NAME) X(i2d_X509_REQ)

// The functions, each with the type its header declares.
struct Functions {
#define ANKOR_LIBCRYPTO_MEMBER(name) decltype(&::name) name;
  ANKOR_LIBCRYPTO_FUNCTIONS(ANKOR_LIBCRYPTO_MEMBER)
#undef ANKOR_LIBCRYPTO_MEMBER
};

// Why the library cannot be used; thrown by every call once loading has failed.
struct Unavailable {
  enum class Reason { NoLibrary, NoFunction } reason;
};

// The table, from the library opened and resolved on the first call of the run (once;
// the library then stays loaded until the process ends). When the library cannot be
// opened or lacks a function, the first call writes one line naming the library and
// the loader's reason to standard error, and this and every later call throws.
const Functions& functions();

// A callable standing for the function of the table at Member.
template <auto Member>
struct Entry;
template <typename Result, typename... Args, Result (*Functions::*Member)(Args...)>
struct Entry<Member> {
  Result operator()(Args... args) const { return (functions().*Member)(args...); }
};

// For a test program only, before the first call: open this library instead.
void useLibraryForTesting(const char* soname) noexcept;

}  // namespace ankor::capi::libcrypto

namespace ankor::capi {

#define ANKOR_LIBCRYPTO_ENTRY(name) \
  inline constexpr libcrypto::Entry<&libcrypto::Functions::name> name{};
ANKOR_LIBCRYPTO_FUNCTIONS(ANKOR_LIBCRYPTO_ENTRY)
#undef ANKOR_LIBCRYPTO_ENTRY

}  // namespace ankor::capi
