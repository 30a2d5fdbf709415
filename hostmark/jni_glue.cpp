#include "hostmark/jni_glue.h"

#include <array>
#include <memory>

namespace hostmark {
namespace {

// Releases a key's characters from GetStringUTFChars (ReleaseStringUTFChars).
struct ReleaseChars {
  JNIEnv* env;
  jstring string;
  void operator()(const char* chars) const noexcept { env->ReleaseStringUTFChars(string, chars); }
};
using StringChars = std::unique_ptr<const char, ReleaseChars>;

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

void runJavaEntry(JNIEnv* env, Identifier identifier, jstring key, jobject callback,
                  ProxySecurity proxySecurity) noexcept {
  std::array<char, 1000> buffer{};
  const unsigned int secureProxy = proxySecurity == ProxySecurity::Explicit ? 1 : 0;
  if (identifier == Identifier::Plain) {
    const Status status = retrieveOnThisMachine(identifier, nullptr, buffer.data(), secureProxy);
    deliverToCallback(env, callback, buffer.data(), status);
    return;
  }
  if (key == nullptr) {
    deliverToCallback(env, callback, buffer.data(), kInvalidParameter);
    return;
  }
  const StringChars chars(env->GetStringUTFChars(key, nullptr), ReleaseChars{env, key});
  if (chars == nullptr) return;  // OutOfMemoryError is pending
  const Status status = retrieveOnThisMachine(identifier, chars.get(), buffer.data(), secureProxy);
  deliverToCallback(env, callback, buffer.data(), status);
}

}  // namespace hostmark
