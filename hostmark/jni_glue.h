// The Java side of the library: run a computation for a native method of Hostmark and
// hand the result to the caller's object through setMachineID and setError.
#pragma once

#include <jni.h>

#include "hostmark/status.h"
#include "hostmark/this_machine.h"

namespace hostmark {

// setMachineID(text) then setError(status widened without sign) on callback
// (GetObjectClass, GetMethodID twice, NewStringUTF, CallVoidMethod twice). Stops at the
// first failed lookup or pending Java exception, which then reaches the Java caller.
void deliverToCallback(JNIEnv* env, jobject callback, const char* text, Status status) noexcept;

// Whether the WMI connection gets an explicit proxy security setting (the V1010 methods).
enum class ProxySecurity { Default, Explicit };

// One Java entry point: a zeroed 1000-byte buffer, the key's modified UTF-8 characters
// (GetStringUTFChars, keyed identifier only), the computation on this machine, then
// deliverToCallback. A null key is reported as 87 through the callbacks; a null
// callback gets nothing.
void runJavaEntry(JNIEnv* env, Identifier identifier, jstring key, jobject callback,
                  ProxySecurity proxySecurity) noexcept;

}  // namespace hostmark
