// A recording stand-in for the JVM's JNI function table, for tests of the JNI glue
// without a JVM (and, under Wine, of the DLL's decorated JNI exports). It records every
// JNI call by name, can fail a method lookup or make setMachineID throw, and keeps what
// the two callbacks received.
#pragma once

#include <jni.h>

#include <cstdarg>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace hostmark::testing {

class FakeJni {
 public:
  std::vector<std::string> calls;
  std::string missingMethod;    // GetMethodID of this name fails (NoSuchMethodError)
  bool setMachineIdThrows = false;
  std::string keyText = "key";  // what GetStringUTFChars returns
  std::vector<std::string> machineIds;
  std::vector<jlong> errors;

  FakeJni() {
    current() = this;
    table_.GetObjectClass = &getObjectClass;
    table_.GetMethodID = &getMethodId;
    table_.NewStringUTF = &newStringUtf;
    table_.CallVoidMethod = &callVoidMethod;
    table_.CallVoidMethodV = &callVoidMethodV;
    table_.ExceptionCheck = &exceptionCheck;
    table_.GetStringUTFChars = &getStringUtfChars;
    table_.ReleaseStringUTFChars = &releaseStringUtfChars;
    env_.functions = &table_;
  }
  FakeJni(const FakeJni&) = delete;  // the function table points back at this object
  FakeJni& operator=(const FakeJni&) = delete;
  ~FakeJni() { current() = nullptr; }

  JNIEnv* env() { return &env_; }
  jobject callback() { return reinterpret_cast<jobject>(&callbackObject_); }
  jstring key() { return reinterpret_cast<jstring>(&keyObject_); }
  bool pending() const { return pending_; }

 private:
  static FakeJni*& current() {
    static FakeJni* fake = nullptr;
    return fake;
  }
  static FakeJni& self() { return *current(); }

  static jclass JNICALL getObjectClass(JNIEnv*, jobject) {
    self().calls.push_back("GetObjectClass");
    return reinterpret_cast<jclass>(&self().classObject_);
  }
  static jmethodID JNICALL getMethodId(JNIEnv*, jclass, const char* name, const char* signature) {
    FakeJni& f = self();
    f.calls.push_back(std::string("GetMethodID ") + name + " " + signature);
    if (f.missingMethod == name) {
      f.pending_ = true;
      return nullptr;
    }
    return reinterpret_cast<jmethodID>(std::strcmp(name, "setMachineID") == 0 ? &f.setMachineId_
                                                                              : &f.setError_);
  }
  static jstring JNICALL newStringUtf(JNIEnv*, const char* text) {
    FakeJni& f = self();
    f.calls.push_back("NewStringUTF");
    f.strings_.emplace_back(text);
    return reinterpret_cast<jstring>(&f.strings_.back());
  }
  static void JNICALL callVoidMethod(JNIEnv* env, jobject object, jmethodID method, ...) {
    std::va_list args;
    va_start(args, method);
    callVoidMethodV(env, object, method, args);
    va_end(args);
  }
  // The C++ JNIEnv wrapper's CallVoidMethod comes here with its va_list.
  static void JNICALL callVoidMethodV(JNIEnv*, jobject, jmethodID method, std::va_list args) {
    FakeJni& f = self();
    if (method == reinterpret_cast<jmethodID>(&f.setMachineId_)) {
      f.calls.push_back("CallVoidMethod setMachineID");
      f.machineIds.push_back(*reinterpret_cast<std::string*>(va_arg(args, jstring)));
      if (f.setMachineIdThrows) f.pending_ = true;
    } else {
      f.calls.push_back("CallVoidMethod setError");
      f.errors.push_back(va_arg(args, jlong));
    }
  }
  static jboolean JNICALL exceptionCheck(JNIEnv*) { return self().pending_ ? JNI_TRUE : JNI_FALSE; }
  static const char* JNICALL getStringUtfChars(JNIEnv*, jstring, jboolean* isCopy) {
    FakeJni& f = self();
    f.calls.push_back(isCopy == nullptr ? "GetStringUTFChars" : "GetStringUTFChars isCopy");
    return f.keyText.c_str();
  }
  static void JNICALL releaseStringUtfChars(JNIEnv*, jstring, const char* chars) {
    FakeJni& f = self();
    f.calls.push_back(chars == f.keyText.c_str() ? "ReleaseStringUTFChars"
                                                 : "ReleaseStringUTFChars of other chars");
  }

  JNINativeInterface_ table_{};
  JNIEnv env_{};
  int callbackObject_ = 0;
  int keyObject_ = 0;
  int classObject_ = 0;
  int setMachineId_ = 0;
  int setError_ = 0;
  bool pending_ = false;
  std::deque<std::string> strings_;
};

}  // namespace hostmark::testing
