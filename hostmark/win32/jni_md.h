/* JNI type definitions for 32-bit Windows, used with the JDK's jni.h in the win32
 * build: exported functions are dllexport and standard-call. */
#ifndef TARVO_JNI_MD_H
#define TARVO_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
