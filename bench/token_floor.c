/* The floor of ankor's token commands: the same Cryptoki calls, in the same order, on the
 * same module, and the same bytes on standard output, with nothing else around them.
 *
 *   token_floor MODULE list                              like `ankor pkcs11 list tokens GD`
 *   token_floor MODULE sign SERIAL KEYID_B64 PIN DATA_B64
 *                         like `ankor pkcs11 crypt signWithKeyId GD SERIAL KEYID sha256 PIN false DATA`
 *
 * The calls: C_Initialize, C_GetSlotList twice, C_GetTokenInfo per slot (its serial);
 * per token listed (or looked at while finding the serial) C_GetSlotInfo twice and
 * C_GetTokenInfo five times; for the signature C_OpenSession, C_Login, C_FindObjectsInit,
 * C_FindObjects one handle at a time, C_FindObjectsFinal, C_SignInit, C_Sign twice,
 * C_Logout, C_CloseSession; C_Finalize. SHA-256 of the data through libcrypto (which the
 * module has loaded already). Envelope texts are those of SoftHSM2's tokens: printable
 * ASCII without quotes or backslashes, which the benchmark checks by comparing the bytes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <openssl/sha.h>
#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST* f;

/* A fixed-width Cryptoki text without its padding. */
static void field(char* out, const unsigned char* in, size_t size) {
  size_t end = 0, begin = 0;
  while (end < size && in[end] != 0) ++end;
  while (end > 0 && in[end - 1] == ' ') --end;
  while (begin < end && in[begin] == ' ') ++begin;
  memcpy(out, in + begin, end - begin);
  out[end - begin] = 0;
}

static unsigned long long memory(CK_ULONG value) {
  return value == CK_UNAVAILABLE_INFORMATION ? 4294967295ULL : (unsigned long long)value;
}

struct info {
  char manufacturer[33], description[65], label[33], model[17], serial[17];
  unsigned long long freePublic, freePrivate;
};

/* What ankor asks of a token it lists or compares: two slot and five token queries. */
static void token_info(CK_SLOT_ID slot, struct info* i) {
  CK_SLOT_INFO s;
  CK_TOKEN_INFO t;
  f->C_GetSlotInfo(slot, &s);
  field(i->manufacturer, s.manufacturerID, sizeof s.manufacturerID);
  f->C_GetSlotInfo(slot, &s);
  field(i->description, s.slotDescription, sizeof s.slotDescription);
  f->C_GetTokenInfo(slot, &t);
  field(i->label, t.label, sizeof t.label);
  f->C_GetTokenInfo(slot, &t);
  field(i->model, t.model, sizeof t.model);
  f->C_GetTokenInfo(slot, &t);
  field(i->serial, t.serialNumber, sizeof t.serialNumber);
  f->C_GetTokenInfo(slot, &t);
  i->freePublic = memory(t.ulFreePublicMemory);
  f->C_GetTokenInfo(slot, &t);
  i->freePrivate = memory(t.ulFreePrivateMemory);
}

static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static void encode(const unsigned char* in, size_t n, char* out) {
  size_t i = 0;
  for (; i + 2 < n; i += 3) {
    unsigned v = (unsigned)in[i] << 16 | (unsigned)in[i + 1] << 8 | in[i + 2];
    *out++ = b64[v >> 18]; *out++ = b64[v >> 12 & 63]; *out++ = b64[v >> 6 & 63]; *out++ = b64[v & 63];
  }
  if (i < n) {
    unsigned v = (unsigned)in[i] << 16 | (i + 1 < n ? (unsigned)in[i + 1] << 8 : 0);
    *out++ = b64[v >> 18]; *out++ = b64[v >> 12 & 63];
    *out++ = i + 1 < n ? b64[v >> 6 & 63] : '=';
    *out++ = '=';
  }
  *out = 0;
}

static size_t decode(const char* in, unsigned char* out) {
  size_t n = 0;
  unsigned v = 0;
  int bits = 0;
  for (; *in && *in != '='; ++in) {
    const char* p = strchr(b64, *in);
    if (p == NULL) continue;
    v = v << 6 | (unsigned)(p - b64);
    bits += 6;
    if (bits >= 8) { bits -= 8; out[n++] = (unsigned char)(v >> bits); }
  }
  return n;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  struct stat st;
  if (stat(argv[1], &st) != 0) return 1;
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  CK_C_GetFunctionList get = module ? (CK_C_GetFunctionList)dlsym(module, "C_GetFunctionList") : NULL;
  if (get == NULL || get(&f) != CKR_OK || f->C_Initialize(NULL) != CKR_OK) return 1;

  CK_ULONG count = 0;
  f->C_GetSlotList(CK_TRUE, NULL, &count);
  CK_SLOT_ID slots[64];
  if (count > 64) count = 64;
  f->C_GetSlotList(CK_TRUE, slots, &count);
  CK_SLOT_ID tokens[64];
  size_t ntokens = 0;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO t;
    char serial[17];
    f->C_GetTokenInfo(slots[i], &t);
    field(serial, t.serialNumber, sizeof t.serialNumber);
    if (serial[0] != 0 && strspn(serial, "0123456789abcdefABCDEF") == strlen(serial)) tokens[ntokens++] = slots[i];
  }

  if (strcmp(argv[2], "list") == 0) {
    fputs("{\n    \"success\": [", stdout);
    for (size_t i = 0; i < ntokens; ++i) {
      struct info t;
      token_info(tokens[i], &t);
      printf("%s\n        {\n"
             "            \"freePrivateMemory\": %llu,\n"
             "            \"freePublicMemory\": %llu,\n"
             "            \"manufacturerId\": \"%s\",\n"
             "            \"serial\": \"%s\",\n"
             "            \"slotDescription\": \"%s\",\n"
             "            \"slotId\": \"%lu\",\n"
             "            \"tokenLabel\": \"%s\",\n"
             "            \"tokenModel\": \"%s\",\n"
             "            \"type\": \"GD\"\n        }",
             i ? "," : "", t.freePrivate, t.freePublic, t.manufacturer, t.serial, t.description,
             (unsigned long)tokens[i], t.label, t.model);
    }
    fputs(ntokens ? "\n    ]\n}" : "]\n}", stdout);
  } else if (strcmp(argv[2], "sign") == 0 && argc == 7) {
    CK_SLOT_ID slot = 0;
    int found = 0;
    for (size_t i = 0; i < ntokens && !found; ++i) {
      struct info t;
      token_info(tokens[i], &t);
      if (strcmp(t.serial, argv[3]) == 0) { slot = tokens[i]; found = 1; }
    }
    if (!found) return 1;
    CK_SESSION_HANDLE session = 0;
    f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL, &session);
    if (f->C_Login(session, CKU_USER, (CK_UTF8CHAR*)argv[5], strlen(argv[5])) != CKR_OK) return 1;

    unsigned char id[256];
    CK_ULONG idLength = decode(argv[4], id);
    CK_OBJECT_CLASS privateKey = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &privateKey, sizeof privateKey}, {CKA_ID, id, idLength}};
    f->C_FindObjectsInit(session, search, 2);
    CK_OBJECT_HANDLE key = 0, object;
    CK_ULONG delivered;
    while (f->C_FindObjects(session, &object, 1, &delivered) == CKR_OK && delivered != 0) {
      if (key == 0) key = object;
    }
    f->C_FindObjectsFinal(session);

    size_t dataLength = strlen(argv[6]);
    unsigned char* data = malloc(dataLength + 1);
    dataLength = decode(argv[6], data);
    static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    unsigned char digestInfo[sizeof prefix + 32];
    memcpy(digestInfo, prefix, sizeof prefix);
    SHA256(data, dataLength, digestInfo + sizeof prefix);

    CK_MECHANISM mechanism = {CKM_RSA_PKCS, NULL, 0};
    unsigned char signature[1024];
    CK_ULONG length = 0;
    f->C_SignInit(session, &mechanism, key);
    f->C_Sign(session, digestInfo, sizeof digestInfo, NULL, &length);
    if (length > sizeof signature) return 1;
    f->C_Sign(session, digestInfo, sizeof digestInfo, signature, &length);
    f->C_Logout(session);
    f->C_CloseSession(session);
    char text[1400];
    encode(signature, length, text);
    printf("{\n    \"success\": \"%s\"\n}", text);
    free(data);
  } else {
    return 2;
  }
  fflush(stdout);
  f->C_Finalize(NULL);
  dlclose(module);
  return 0;
}
