#include "hostmark/jni_glue.h"

#include <array>
#include <memory>

#include "hostmark/fingerprint.h"

namespace hostmark {
namespace {

// Releases a key's characters from GetStringUTFChars (ReleaseStringUTFChars).
struct ReleaseChars {
  JNIEnv* env;
  jstring string;
  void operator()(const char* chars) const noexcept { env->ReleaseStringUTFChars(string, chars); }
};
using StringChars = std::unique_ptr<const char, ReleaseChars>;

Status compute(bool keyed, const char* key, char* buffer, bool secureProxy) noexcept {
  try {
    const auto source = createIdentitySource();
    const auto digest = createDigest();
    const unsigned int switchValue = secureProxy ? 1 : 0;
    return keyed ? retrieveKeyedIntoBuffer(*source, *digest, key, buffer, switchValue)
                 : retrieveIntoBuffer(*source, *digest, buffer, switchValue);
  } catch (...) {
    return kOutOfMemory;
  }
}

}  // namespace

void deliverToCallback(JNIEnv* env, jobject callback, const char* text, Status status) noexcept {
  if (callback == nullptr) return;
  const jclass type = env->GetObjectClass(callback);
  if (type == nullptr || env->ExceptionCheck()) return;
  const jmethodID setMachineId = env->GetMethodID(type, "setMachineID", "(Ljava/lang/String;)V");
  if (setMachineId == nullptr || env->ExceptionCheck()) return;
  const jmethodID setError = env->GetMethodID(type, "setError", "(J)V");
  if (setError == nullptr || env->ExceptionCheck()) return;
  const jstring identifier = env->NewStringUTF(text);
  if (identifier == nullptr || env->ExceptionCheck()) return;
  env->CallVoidMethod(callback, setMachineId, identifier);
  if (env->ExceptionCheck()) return;
  env->CallVoidMethod(callback, setError, static_cast<jlong>(status));
}

void runJavaEntry(JNIEnv* env, bool keyed, jstring key, jobject callback,
                  bool secureProxy) noexcept {
  std::array<char, 1000> buffer{};
  Status status = kInvalidParameter;
  if (keyed && key != nullptr) {
    const StringChars chars(env->GetStringUTFChars(key, nullptr), ReleaseChars{env, key});
    if (chars.get() == nullptr) return;  // OutOfMemoryError is pending
    status = compute(true, chars.get(), buffer.data(), secureProxy);
    deliverToCallback(env, callback, buffer.data(), status);
    return;
  }
  if (!keyed) status = compute(false, nullptr, buffer.data(), secureProxy);
  deliverToCallback(env, callback, buffer.data(), status);
}

}  // namespace hostmark
