// The JNI glue against a recording JNI function table: the order of the JNI calls, the
// unsigned widening of the status, and stopping at a failed lookup or a pending exception.
#include "hostmark/jni_glue.h"

#include <gtest/gtest.h>

#include "hostmark/fake_jni.h"

namespace hostmark {
namespace {

using testing::FakeJni;
using Calls = std::vector<std::string>;

const std::string kSetMachineIdLookup = "GetMethodID setMachineID (Ljava/lang/String;)V";
const std::string kSetErrorLookup = "GetMethodID setError (J)V";

// Both lookups first, then setMachineID and setError; a status with the high bit set
// arrives as a positive long.
TEST(DeliverToCallback, CallsBothCallbacksInOrder) {
  FakeJni jni;
  deliverToCallback(jni.env(), jni.callback(), "ID", 0x80041003);
  EXPECT_EQ(jni.calls, (Calls{"GetObjectClass", kSetMachineIdLookup, kSetErrorLookup,
                              "NewStringUTF", "CallVoidMethod setMachineID",
                              "CallVoidMethod setError"}));
  EXPECT_EQ(jni.machineIds, Calls{"ID"});
  EXPECT_EQ(jni.errors, std::vector<jlong>{0x80041003LL});
}

// A failed lookup or a throwing setMachineID ends the delivery: no further JNI call.
TEST(DeliverToCallback, StopsWhenAnExceptionIsPending) {
  const struct {
    std::string missing;
    bool throws;
    Calls calls;
  } cases[] = {
      {"setMachineID", false, {"GetObjectClass", kSetMachineIdLookup}},
      {"setError", false, {"GetObjectClass", kSetMachineIdLookup, kSetErrorLookup}},
      {"", true,
       {"GetObjectClass", kSetMachineIdLookup, kSetErrorLookup, "NewStringUTF",
        "CallVoidMethod setMachineID"}},
  };
  for (const auto& c : cases) {
    FakeJni jni;
    jni.missingMethod = c.missing;
    jni.setMachineIdThrows = c.throws;
    deliverToCallback(jni.env(), jni.callback(), "ID", 0);
    EXPECT_EQ(jni.calls, c.calls) << c.missing;
    EXPECT_TRUE(jni.errors.empty());
  }
}

TEST(DeliverToCallback, NullCallbackGetsNothing) {
  FakeJni jni;
  deliverToCallback(jni.env(), nullptr, "ID", 0);
  EXPECT_TRUE(jni.calls.empty());
}

// A keyed entry point takes the key's characters first (no copy flag) and releases them
// last, also when a callback throws; the identifier comes from the real machine.
TEST(RunJavaEntry, KeyedEntryReleasesKeyLast) {
  for (const bool throws : {false, true}) {
    FakeJni jni;
    jni.setMachineIdThrows = throws;
    runJavaEntry(jni.env(), Identifier::Keyed, jni.key(), jni.callback(),
                 ProxySecurity::Default);
    ASSERT_GE(jni.calls.size(), 2u);
    EXPECT_EQ(jni.calls.front(), "GetStringUTFChars");
    EXPECT_EQ(jni.calls.back(), "ReleaseStringUTFChars");
    ASSERT_EQ(jni.machineIds.size(), 1u);
    EXPECT_EQ(jni.machineIds[0].size(), 44u);
    EXPECT_EQ(jni.errors.size(), throws ? 0u : 1u);
  }
}

// A plain entry point never touches a key; a keyed one with a null key reports 87.
TEST(RunJavaEntry, PlainAndNullKey) {
  FakeJni plain;
  runJavaEntry(plain.env(), Identifier::Plain, nullptr, plain.callback(),
               ProxySecurity::Explicit);
  EXPECT_EQ(plain.calls.front(), "GetObjectClass");
  EXPECT_EQ(plain.errors, std::vector<jlong>{0});

  FakeJni nullKey;
  runJavaEntry(nullKey.env(), Identifier::Keyed, nullptr, nullKey.callback(),
               ProxySecurity::Default);
  EXPECT_EQ(nullKey.calls.front(), "GetObjectClass");
  EXPECT_EQ(nullKey.machineIds, Calls{""});
  EXPECT_EQ(nullKey.errors, std::vector<jlong>{87});
}

}  // namespace
}  // namespace hostmark
