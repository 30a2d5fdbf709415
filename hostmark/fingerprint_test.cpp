// The platform-free computation against a recording fake source and a fake digest that
// records its input and can fail: joining, formatting, statuses and the buffer contract.
#include "hostmark/fingerprint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace hostmark {
namespace {

const std::string kAbcIdentifier = "A9993E36-4706816A-BA3E2571-7850C26C-9CD0D89D";

// Serves fixed values, records each call, and fails the step named in failStep.
class FakeSource final : public IdentitySource {
 public:
  std::vector<IdentityValue> disks;
  std::vector<IdentityValue> firmware;
  std::string machineId = "{guid}";
  std::string failStep;
  Status failStatus = 0;
  std::vector<std::string> calls;

  Status open(bool secureProxy) override {
    return step(secureProxy ? "open secure" : "open");
  }
  Status diskSerials(std::vector<IdentityValue>& values) override {
    values.insert(values.end(), disks.begin(), disks.end());
    return step("disks");
  }
  Status firmwareSerials(std::vector<IdentityValue>& values) override {
    values.insert(values.end(), firmware.begin(), firmware.end());
    return step("firmware");
  }
  Status machineIdentifier(std::string& value) override {
    value = machineId;
    return step("machine id");
  }
  void close() noexcept override { calls.push_back("close"); }

 private:
  Status step(const std::string& name) {
    calls.push_back(name);
    return name.starts_with(failStep) && !failStep.empty() ? failStatus : kSuccess;
  }
};

// The platform digest, recording what it hashes (and, when log is set, its place among
// the source's calls); keyed calls fail when keyedStatus is set.
class RecordingDigest final : public Digest {
 public:
  std::vector<std::string> hashed;
  std::vector<std::string> keys;
  Status plainStatus = 0;
  Status keyedStatus = 0;
  std::vector<std::string>* log = nullptr;

  Status sha1(std::string_view data, Sha1Value& value) override {
    hashed.emplace_back(data);
    if (log != nullptr) log->push_back("sha1");
    if (plainStatus != kSuccess) return plainStatus;
    return real_->sha1(data, value);
  }
  Status keyedSha1(std::string_view key, std::string_view message, Sha1Value& value) override {
    keys.emplace_back(key);
    if (log != nullptr) log->push_back("keyed");
    if (keyedStatus != kSuccess) return keyedStatus;
    return real_->keyedSha1(key, message, value);
  }

 private:
  std::unique_ptr<Digest> real_ = createDigest();
};

// A caller's buffer: 45 zero bytes, then a guard area that must never be touched.
struct CallerBuffer {
  std::array<char, 64> bytes{};
  CallerBuffer() { std::memset(bytes.data() + 45, 'G', bytes.size() - 45); }
  std::string text() const { return bytes.data(); }
  bool guardIntact() const {
    for (std::size_t i = 45; i < bytes.size(); ++i) {
      if (bytes[i] != 'G') return false;
    }
    return bytes[44] == '\0';
  }
  bool allZero(std::size_t from, std::size_t to) const {
    for (std::size_t i = from; i < to; ++i) {
      if (bytes[i] != '\0') return false;
    }
    return true;
  }
};

// Disks in query order, then firmware, then the machine identifier, without separators;
// a null serial contributes nothing, spaces and letter case are kept.
TEST(CollectIdentityText, JoinsValuesInOrder) {
  const struct {
    std::vector<IdentityValue> disks;
    std::vector<IdentityValue> firmware;
    std::string machineId;
    std::string text;
  } cases[] = {
      {{"DISK-A", "DISK-B"}, {"0"}, "{g}", "DISK-ADISK-B0{g}"},
      {{"DISK-B", "DISK-A"}, {"0"}, "{g}", "DISK-BDISK-A0{g}"},
      {{std::nullopt, "WD 123 "}, {std::nullopt}, "id", "WD 123 id"},
      {{" padded  "}, {"Bios", "Two"}, "x", " padded  BiosTwox"},
      {{}, {}, "only", "only"},
      // The machine identifier counts up to its first zero byte.
      {{"d"}, {}, std::string("ab\0cd", 5), "dab"},
  };
  for (const auto& c : cases) {
    FakeSource source;
    source.disks = c.disks;
    source.firmware = c.firmware;
    source.machineId = c.machineId;
    std::string text;
    ASSERT_EQ(collectIdentityText(source, false, text), kSuccess);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(source.calls,
              (std::vector<std::string>{"open", "disks", "firmware", "machine id", "close"}));
  }
}

// The identity text "abc" gives the documented identifier, digested while the connection
// is still open; swapping disks changes it.
TEST(ComputeIdentifier, DigestsAndFormats) {
  FakeSource abc;
  abc.disks = {"a"};
  abc.firmware = {"b"};
  abc.machineId = "c";
  RecordingDigest digest;
  digest.log = &abc.calls;
  std::string identifier;
  ASSERT_EQ(computeIdentifier(abc, digest, false, identifier), kSuccess);
  EXPECT_EQ(identifier, kAbcIdentifier);
  EXPECT_EQ(digest.hashed, std::vector<std::string>{"abc"});
  EXPECT_EQ(abc.calls, (std::vector<std::string>{"open", "disks", "firmware", "machine id",
                                                 "sha1", "close"}));
  digest.log = nullptr;

  std::string forward, backward;
  FakeSource source;
  source.disks = {"S1", "S2"};
  ASSERT_EQ(computeIdentifier(source, digest, false, forward), kSuccess);
  source.disks = {"S2", "S1"};
  ASSERT_EQ(computeIdentifier(source, digest, false, backward), kSuccess);
  EXPECT_NE(forward, backward);
}

TEST(FormatIdentifier, UpperCaseGroupsWithLeadingZeros) {
  Sha1Value value{};
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(i * 13);
  EXPECT_EQ(formatIdentifier(value), "000D1A27-34414E5B-6875828F-9CA9B6C3-D0DDEAF7");
}

// A failing step's status comes back unchanged, later steps are not run, the source is
// closed, and nothing is written to the caller's buffer.
TEST(RetrieveIntoBuffer, FailingStepPassesStatusThrough) {
  const struct {
    std::string step;
    Status status;
    std::vector<std::string> calls;
  } cases[] = {
      {"open", 0x80010106, {"open", "close"}},  // RPC_E_CHANGED_MODE
      {"disks", 0x80041003, {"open", "disks", "close"}},  // WBEM_E_ACCESS_DENIED
      {"firmware", 0x80041010, {"open", "disks", "firmware", "close"}},
      {"machine id", 2, {"open", "disks", "firmware", "machine id", "close"}},
  };
  for (const auto& c : cases) {
    FakeSource source;
    source.failStep = c.step;
    source.failStatus = c.status;
    RecordingDigest digest;
    CallerBuffer buffer;
    EXPECT_EQ(retrieveIntoBuffer(source, digest, buffer.bytes.data(), 0), c.status) << c.step;
    EXPECT_EQ(source.calls, c.calls) << c.step;
    EXPECT_TRUE(digest.hashed.empty()) << c.step;
    EXPECT_TRUE(buffer.allZero(0, 45) && buffer.guardIntact()) << c.step;
  }
}

// A failing digest's status is passed back too, the connection is closed after it, and
// the buffer stays empty.
TEST(RetrieveIntoBuffer, FailingDigest) {
  FakeSource source;
  RecordingDigest digest;
  digest.plainStatus = 0x80090008;  // NTE_BAD_ALGID
  digest.log = &source.calls;
  CallerBuffer buffer;
  EXPECT_EQ(retrieveIntoBuffer(source, digest, buffer.bytes.data(), 0), 0x80090008u);
  EXPECT_EQ(source.calls, (std::vector<std::string>{"open", "disks", "firmware", "machine id",
                                                    "sha1", "close"}));
  EXPECT_TRUE(buffer.allZero(0, 45) && buffer.guardIntact());
}

// Exactly 44 characters are written; the caller's zero at position 44 ends the text.
TEST(RetrieveIntoBuffer, WritesExactly44Characters) {
  FakeSource source;
  source.disks = {"a"};
  source.firmware = {"b"};
  source.machineId = "c";
  RecordingDigest digest;
  CallerBuffer buffer;
  ASSERT_EQ(retrieveIntoBuffer(source, digest, buffer.bytes.data(), 0), kSuccess);
  EXPECT_EQ(buffer.text(), kAbcIdentifier);
  EXPECT_TRUE(buffer.guardIntact());
}

// Only the low byte of the switch turns on the proxy security.
TEST(RetrieveIntoBuffer, SwitchLowByteOnly) {
  const struct {
    unsigned int value;
    const char* open;
  } cases[] = {{0, "open"}, {1, "open secure"}, {0x100, "open"}, {0xFFFFFF01, "open secure"},
               {0x80, "open secure"}};
  for (const auto& c : cases) {
    FakeSource source;
    RecordingDigest digest;
    CallerBuffer buffer;
    ASSERT_EQ(retrieveIntoBuffer(source, digest, buffer.bytes.data(), c.value), kSuccess);
    EXPECT_EQ(source.calls.front(), c.open) << c.value;
  }
}

TEST(RetrieveIntoBuffer, NullPointersAreInvalidParameters) {
  FakeSource source;
  RecordingDigest digest;
  EXPECT_EQ(retrieveIntoBuffer(source, digest, nullptr, 0), kInvalidParameter);
  EXPECT_EQ(retrieveKeyedIntoBuffer(source, digest, "k", nullptr, 0), kInvalidParameter);
  CallerBuffer buffer;
  std::memset(buffer.bytes.data(), 'x', 8);
  EXPECT_EQ(retrieveKeyedIntoBuffer(source, digest, nullptr, buffer.bytes.data(), 0),
            kInvalidParameter);
  EXPECT_TRUE(buffer.allZero(0, 4));
  EXPECT_EQ(buffer.bytes[4], 'x');
  EXPECT_TRUE(source.calls.empty());
}

// The keyed identifier is stable per key, differs between keys and from the plain one,
// and is the HMAC of the plain identifier's 44 characters.
TEST(RetrieveKeyedIntoBuffer, StableAndKeyDependent) {
  FakeSource source;
  source.disks = {"a"};
  source.firmware = {"b"};
  source.machineId = "c";
  RecordingDigest digest;
  auto keyed = [&](const char* key) {
    CallerBuffer buffer;
    EXPECT_EQ(retrieveKeyedIntoBuffer(source, digest, key, buffer.bytes.data(), 0), kSuccess);
    EXPECT_TRUE(buffer.guardIntact());
    return buffer.text();
  };
  const std::string first = keyed("tarvo");
  EXPECT_EQ(first, "72ECB06F-0CE90210-684E01D9-A40F2F19-C654FBA5");
  EXPECT_EQ(keyed("tarvo"), first);
  EXPECT_NE(keyed("tarvO"), first);
  EXPECT_NE(keyed(""), first);
  EXPECT_NE(first, kAbcIdentifier);
  EXPECT_EQ(digest.keys.front(), "tarvo");
}

// A failed plain step leaves only the four zeroed bytes; a failed keyed step clears the
// plain identifier it had written, so it is never taken for the keyed one.
TEST(RetrieveKeyedIntoBuffer, FailuresLeaveNoIdentifier) {
  {
    FakeSource source;
    source.failStep = "machine id";
    source.failStatus = 2;
    RecordingDigest digest;
    CallerBuffer buffer;
    std::memset(buffer.bytes.data(), 'x', 44);
    EXPECT_EQ(retrieveKeyedIntoBuffer(source, digest, "k", buffer.bytes.data(), 0), 2u);
    EXPECT_TRUE(buffer.allZero(0, 4));
    EXPECT_EQ(std::string(buffer.bytes.data() + 4, 40), std::string(40, 'x'));
    EXPECT_TRUE(digest.keys.empty());
  }
  {
    FakeSource source;
    RecordingDigest digest;
    digest.keyedStatus = 0x80090016;  // NTE_BAD_KEYSET
    digest.log = &source.calls;
    CallerBuffer buffer;
    EXPECT_EQ(retrieveKeyedIntoBuffer(source, digest, "k", buffer.bytes.data(), 0),
              0x80090016u);
    // The keyed step follows the whole plain computation, connection closed.
    EXPECT_EQ(source.calls, (std::vector<std::string>{"open", "disks", "firmware", "machine id",
                                                      "sha1", "close", "keyed"}));
    EXPECT_TRUE(buffer.allZero(0, 45) && buffer.guardIntact());
  }
}

}  // namespace
}  // namespace hostmark
