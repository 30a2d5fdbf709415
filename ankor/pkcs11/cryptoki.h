// The Cryptoki (PKCS#11) declarations as every file of this subsystem includes them.
// Windows modules lay their structures out packed to one byte; the build sets
// ANKOR_PKCS11_PACKED for that target so that ours match.
#pragma once

#include <cstddef>

#if ANKOR_PKCS11_PACKED
#pragma pack(push, 1)
#endif
#include <p11-kit/pkcs11.h>
#if ANKOR_PKCS11_PACKED
#pragma pack(pop)
// CK_INFO's flags follow a 2-byte version and a 32-byte text: packed, no padding.
static_assert(sizeof(CK_INFO) == 2 + 32 + sizeof(CK_FLAGS) + 32 + 2, "Cryptoki packing");
#endif

// A module that lacks a function answers as if the call had failed with this code.
inline constexpr CK_RV kMissingFunction = CKR_FUNCTION_NOT_SUPPORTED;
// Sizes a module announces are not believed beyond these: a longer attribute value or
// signature reads as empty, a longer slot list as no slots. Far above any real token's
// figures, they keep a faulty module from making ankor allocate gigabytes.
inline constexpr CK_ULONG kMaxValueLength = 16UL << 20;
inline constexpr CK_ULONG kMaxSlotCount = 4096;
// An object search ends after this many handles, so that a module whose C_FindObjects
// never reports the end cannot hold the run forever.
inline constexpr std::size_t kMaxFoundObjects = 4096;
