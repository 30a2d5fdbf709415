#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/testing/base64.h"
#include "common/testing/temp_dir.h"

namespace tarvo::testing {
namespace {

namespace fs = std::filesystem;

// Each directory is new and empty, only its owner's, and goes with what it holds.
TEST(TempDir, FreshPrivateAndRemoved) {
  fs::path kept;
  {
    TempDir first("tarvo-kit"), second("tarvo-kit");
    EXPECT_NE(first.path(), second.path());
    EXPECT_TRUE(fs::is_directory(first.path()));
    EXPECT_TRUE(fs::is_empty(first.path()));
    EXPECT_EQ(first.path().filename().string().rfind("tarvo-kit-", 0), 0u);
    EXPECT_EQ(first.file("a.txt"), (first.path() / "a.txt").string());
    fs::create_directories(first.path() / "sub" / "deeper");
    std::ofstream(first.file("sub/deeper/f")) << "x";
    kept = first.path();
#ifndef _WIN32
    EXPECT_EQ(fs::status(first.path()).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
  }
  EXPECT_FALSE(fs::exists(kept));
}

TEST(TempDir, UnderAGivenBase) {
  TempDir base("tarvo-base");
  TempDir inner("inner", base.path());
  EXPECT_EQ(inner.path().parent_path(), base.path());
}

// RFC 4648's test vectors, and bytes of every value.
TEST(Base64, StandardVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
      {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {std::string("\0\xff\xfe", 3), "AP/+"},
  };
  for (const auto& [plain, encoded] : cases) EXPECT_EQ(base64(plain), encoded) << encoded;
}

}  // namespace
}  // namespace tarvo::testing
