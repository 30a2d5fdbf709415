// The four native methods of org.tarvo.hostmark.Hostmark. The V1010 methods set the
// proxy security of the WMI connection; the others do not. TARVO_JNI_EXPORT is
// JNIEXPORT on Linux and empty on Windows, where the .def file names the exports.
#include <jni.h>

#include "hostmark/jni_glue.h"

extern "C" {

TARVO_JNI_EXPORT void JNICALL Java_org_tarvo_hostmark_Hostmark_retrieveMachineID(JNIEnv* env, jclass,
                                                                          jobject callback) {
  hostmark::runJavaEntry(env, hostmark::Identifier::Plain, nullptr, callback,
                         hostmark::ProxySecurity::Default);
}

TARVO_JNI_EXPORT void JNICALL Java_org_tarvo_hostmark_Hostmark_retrieveMachineIDV1010(JNIEnv* env,
                                                                              jclass,
                                                                              jobject callback) {
  hostmark::runJavaEntry(env, hostmark::Identifier::Plain, nullptr, callback,
                         hostmark::ProxySecurity::Explicit);
}

TARVO_JNI_EXPORT void JNICALL Java_org_tarvo_hostmark_Hostmark_retrieveMachineIDOT(JNIEnv* env, jclass,
                                                                            jstring key,
                                                                            jobject callback) {
  hostmark::runJavaEntry(env, hostmark::Identifier::Keyed, key, callback,
                         hostmark::ProxySecurity::Default);
}

TARVO_JNI_EXPORT void JNICALL Java_org_tarvo_hostmark_Hostmark_retrieveMachineIDOTV1010(
    JNIEnv* env, jclass, jstring key, jobject callback) {
  hostmark::runJavaEntry(env, hostmark::Identifier::Keyed, key, callback,
                         hostmark::ProxySecurity::Explicit);
}

}  // extern "C"
