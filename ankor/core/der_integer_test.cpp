#include "ankor/core/certificate.h"

#include <gtest/gtest.h>

namespace ankor {
namespace {

// A serial's content as a DER INTEGER: short and long definite lengths.
TEST(DerInteger, Lengths) {
  EXPECT_EQ(hexEncode(derInteger(Bytes{0x01})), "020101");
  EXPECT_EQ(hexEncode(derInteger(Bytes{0x00, 0x8F})), "0202008f");
  const Bytes long127(127, 0x11), long128(128, 0x22), long300(300, 0x33);
  EXPECT_EQ(hexEncode(derInteger(long127)).substr(0, 4), "027f");
  EXPECT_EQ(hexEncode(derInteger(long128)).substr(0, 6), "028180");
  EXPECT_EQ(hexEncode(derInteger(long300)).substr(0, 8), "0282012c");
  EXPECT_EQ(derInteger(long300).size(), 304u);
}

}  // namespace
}  // namespace ankor
