// Test-only JNI library: runs the callback delivery of the library's glue with a text
// and a status chosen by the Java test, e.g. a management failure with the high bit set.
#include <jni.h>

#include "hostmark/jni_glue.h"

extern "C" JNIEXPORT void JNICALL Java_org_tarvo_hostmark_HostmarkSeam_deliver(
    JNIEnv* env, jclass, jstring text, jint status, jobject callback) {
  const char* chars = env->GetStringUTFChars(text, nullptr);
  if (chars == nullptr) return;
  hostmark::deliverToCallback(env, callback, chars, static_cast<hostmark::Status>(status));
  env->ReleaseStringUTFChars(text, chars);
}
