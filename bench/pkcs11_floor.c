/* The floor for "pkcs11 crypt signList": the same Cryptoki calls in a plain C program,
 * with nothing else around them. Loads the module, C_Initialize once, opens a session
 * on the first slot with a token, C_Login once, finds the private key by CKA_ID, then
 * COUNT times C_SignInit (CKM_RSA_PKCS) and C_Sign twice (length, signature) over a
 * SHA-256 DigestInfo, and C_Finalize.
 * Usage: pkcs11_floor MODULE PIN KEY_ID_HEX COUNT */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <p11-kit/pkcs11.h>

static const unsigned char kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60,
                                              0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                              0x01, 0x05, 0x00, 0x04, 0x20};

static int fail(const char* what, CK_RV rv) {
  fprintf(stderr, "%s failed: 0x%lx\n", what, (unsigned long)rv);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s MODULE PIN KEY_ID_HEX COUNT\n", argv[0]);
    return 2;
  }
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) return fail("dlopen", 0);
  CK_C_GetFunctionList getList = (CK_C_GetFunctionList)dlsym(module, "C_GetFunctionList");
  CK_FUNCTION_LIST* p11 = NULL;
  if (getList == NULL || getList(&p11) != CKR_OK) return fail("C_GetFunctionList", 0);

  CK_RV rv = p11->C_Initialize(NULL);
  if (rv != CKR_OK) return fail("C_Initialize", rv);
  CK_SLOT_ID slots[16];
  CK_ULONG slotCount = 16;
  rv = p11->C_GetSlotList(CK_TRUE, slots, &slotCount);
  if (rv != CKR_OK || slotCount == 0) return fail("C_GetSlotList", rv);
  CK_SESSION_HANDLE session;
  rv = p11->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL, &session);
  if (rv != CKR_OK) return fail("C_OpenSession", rv);
  rv = p11->C_Login(session, CKU_USER, (CK_UTF8CHAR*)argv[2], strlen(argv[2]));
  if (rv != CKR_OK) return fail("C_Login", rv);

  unsigned char id[64];
  size_t idLength = strlen(argv[3]) / 2;
  if (idLength > sizeof id) return fail("key id", 0);
  for (size_t i = 0; i < idLength; ++i) sscanf(argv[3] + 2 * i, "%2hhx", &id[i]);
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE search[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id, idLength}};
  CK_OBJECT_HANDLE key;
  CK_ULONG found = 0;
  if (p11->C_FindObjectsInit(session, search, 2) != CKR_OK ||
      p11->C_FindObjects(session, &key, 1, &found) != CKR_OK || found != 1) {
    return fail("private key search", 0);
  }
  p11->C_FindObjectsFinal(session);

  unsigned char digestInfo[sizeof kSha256Prefix + 32];
  memcpy(digestInfo, kSha256Prefix, sizeof kSha256Prefix);
  unsigned char signature[1024];
  const long count = atol(argv[4]);
  for (long n = 0; n < count; ++n) {
    memset(digestInfo + sizeof kSha256Prefix, (int)(n & 0xFF), 32);
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, NULL, 0};
    CK_ULONG length = 0;
    if ((rv = p11->C_SignInit(session, &mechanism, key)) != CKR_OK) return fail("C_SignInit", rv);
    if ((rv = p11->C_Sign(session, digestInfo, sizeof digestInfo, NULL, &length)) != CKR_OK ||
        length > sizeof signature) {
      return fail("C_Sign (length)", rv);
    }
    if ((rv = p11->C_Sign(session, digestInfo, sizeof digestInfo, signature, &length)) != CKR_OK) {
      return fail("C_Sign", rv);
    }
  }
  p11->C_Logout(session);
  p11->C_CloseSession(session);
  p11->C_Finalize(NULL);
  dlclose(module);
  return 0;
}
