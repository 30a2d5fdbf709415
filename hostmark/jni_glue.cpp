#include "hostmark/jni_glue.h"

#include <array>
#include <utility>

#include "hostmark/fingerprint.h"

namespace hostmark {
namespace {

// Owner of a key's characters from GetStringUTFChars, released with ReleaseStringUTFChars.
class StringChars {
 public:
  StringChars(JNIEnv* env, jstring string) noexcept
      : env_(env), string_(string), chars_(env->GetStringUTFChars(string, nullptr)) {}
  StringChars(const StringChars&) = delete;  // a copy would release twice
  StringChars& operator=(const StringChars&) = delete;
  StringChars(StringChars&& other) noexcept
      : env_(other.env_), string_(other.string_), chars_(std::exchange(other.chars_, nullptr)) {}
  StringChars& operator=(StringChars&&) = delete;
  ~StringChars() {
    if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
  }
  const char* get() const noexcept { return chars_; }

 private:
  JNIEnv* env_;
  jstring string_;
  const char* chars_;
};

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
    const StringChars chars(env, key);
    if (chars.get() == nullptr) return;  // OutOfMemoryError is pending
    status = compute(true, chars.get(), buffer.data(), secureProxy);
    deliverToCallback(env, callback, buffer.data(), status);
    return;
  }
  if (!keyed) status = compute(false, nullptr, buffer.data(), secureProxy);
  deliverToCallback(env, callback, buffer.data(), status);
}

}  // namespace hostmark
