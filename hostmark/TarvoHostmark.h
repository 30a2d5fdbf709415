/* TarvoHostmark_V_1_0_1_0: the 44-character identifier of this machine for C callers.
 *
 * The caller passes a buffer of at least 45 bytes filled with zeros. On success
 * (result 0) the first 44 bytes hold the identifier, with no terminating zero of its
 * own: the caller's zero at position 44 ends the text. On failure the result is the
 * failing platform call's status and nothing is written, except that
 * retrieveMachineIDOT zeroes the first four bytes when it starts. Only the low byte of
 * secureProxy is examined. Null pointers give 87 (ERROR_INVALID_PARAMETER). */
#ifndef TARVO_HOSTMARK_H
#define TARVO_HOSTMARK_H

#if defined(_WIN32)
#define TARVO_HOSTMARK_CALL __stdcall
#define TARVO_HOSTMARK_API
#else
#define TARVO_HOSTMARK_CALL
#define TARVO_HOSTMARK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* SHA-1 of the machine's identity values, formatted. */
TARVO_HOSTMARK_API unsigned int TARVO_HOSTMARK_CALL retrieveMachineID(char* buffer,
                                                                      unsigned int secureProxy);

/* HMAC-SHA1 of the plain identifier, keyed from the zero-terminated key text. */
TARVO_HOSTMARK_API unsigned int TARVO_HOSTMARK_CALL retrieveMachineIDOT(const char* key,
                                                                        char* buffer,
                                                                        unsigned int secureProxy);

#ifdef __cplusplus
}
#endif

#endif
