#include "orvask/checker.h"

#include <gtest/gtest.h>

#include <sstream>

#include "orvask/black_list_input.h"
#include "common/testing/base64.h"
#include "orvask/fake_inventory.h"
#include "orvask/framework.h"
#include "orvask/test_support.h"

namespace orvask {
namespace {

using tarvo::testing::base64;

using testing::product;
using testing::queryRows;

SoftwareRecord rec(const std::string& code) {
  const InstalledProduct p = product(code);
  return SoftwareRecord{p.name, p.version, p.productCode, p.installLocation, p.installDate};
}

SoftwareMap mapOf(std::initializer_list<std::string> codes) {
  SoftwareMap map;
  for (const auto& c : codes) addSoftware(map, rec(c));
  return map;
}

std::vector<std::string> keys(const SoftwareMap& map) {
  std::vector<std::string> out;
  for (const auto& entry : map) out.push_back(entry.first);
  return out;
}

class Checker : public ::testing::Test {
 protected:
  void SetUp() override { testing::createSchema(db); }
  void whiteList(std::initializer_list<std::string> codes) {
    for (const auto& c : codes)
      testing::execSql(db, "INSERT INTO TBWhiteList (Name, ProductCode) VALUES ('w', '" + c + "');");
  }
  void blackList(std::initializer_list<std::string> codes) {
    for (const auto& c : codes)
      testing::execSql(db, "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('b', '" + c + "');");
  }
  std::vector<std::string> storedWhiteList() {
    return queryRows(db, "SELECT ProductCode FROM TBWhiteList ORDER BY ProductCode");
  }
  CChecker enumerated(std::initializer_list<std::string> installed) {
    for (const auto& c : installed) inventory.products.push_back(product(c));
    CChecker checker(inventory, DatabaseSettings{db, std::chrono::milliseconds(100)});
    checker.EnumerateInstalledSoftware();
    return checker;
  }

  testing::TempDir dir;
  std::string db = dir.file("Orvask.db");
  testing::FakeInventory inventory;
};

// Enumeration asks index after index until a status other than success; the first
// product of a code wins.
TEST_F(Checker, EnumerationStopsAtFirstNonSuccess) {
  inventory.products = {product("{B}", "b"), product("{A}", "a"), product("{B}", "b again"), product("{C}")};
  inventory.failAt = 3;
  CChecker checker(inventory, DatabaseSettings{db, std::chrono::milliseconds(100)});
  checker.EnumerateInstalledSoftware();
  EXPECT_EQ(inventory.askedIndexes, (std::vector<std::uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(keys(checker.inventory), (std::vector<std::string>{"{A}", "{B}"}));
  EXPECT_EQ(checker.inventory["{B}"].Name, "b");
  EXPECT_EQ(checker.inventory["{A}"], (SoftwareRecord{"a", "1.0", "{A}", "C:\\Apps\\{A}", "20240131"}));
  EXPECT_EQ(checker.lastEnumerationResult, 1603u);
}

// A framework failure inside the loop ends the enumeration; what was read stays.
TEST_F(Checker, EnumerationFailureKeepsWhatWasRead) {
  inventory.products = {product("{A}"), product("{B}")};
  inventory.failAt = 1;
  inventory.throwAtFail = true;
  CChecker checker(inventory, DatabaseSettings{db, std::chrono::milliseconds(100)});
  checker.EnumerateInstalledSoftware();
  EXPECT_EQ(keys(checker.inventory), std::vector<std::string>{"{A}"});
}

TEST(SplitByList, SplitsByExactKey) {
  struct Case {
    SoftwareMap source, lookup;
    std::vector<std::string> found, notFound;
    bool any;
  };
  const Case cases[] = {
      {mapOf({"a", "b", "c"}), mapOf({"b", "x"}), {"b"}, {"a", "c"}, true},
      {mapOf({"a"}), mapOf({"A"}), {}, {"a"}, false},  // letter case counts
      {mapOf({}), mapOf({"a"}), {}, {}, false},
      {mapOf({"a", "b"}), mapOf({}), {}, {"a", "b"}, false},
  };
  for (const Case& c : cases) {
    SoftwareMap found = mapOf({"stale"}), notFound = mapOf({"stale"});
    EXPECT_EQ(CChecker::SplitByList(c.source, c.lookup, found, notFound), c.any);
    EXPECT_EQ(keys(found), c.found);
    EXPECT_EQ(keys(notFound), c.notFound);
  }
}

// The found entries are the source's records, not the lookup's.
TEST(SplitByList, CopiesSourceRecords) {
  SoftwareMap source = mapOf({"a"});
  SoftwareMap lookup;
  addSoftware(lookup, SoftwareRecord{"other name", "9", "a", "", ""});
  SoftwareMap found, notFound;
  ASSERT_TRUE(CChecker::SplitByList(source, lookup, found, notFound));
  EXPECT_EQ(found["a"], source["a"]);
}

TEST_F(Checker, BlackList) {
  struct Case {
    const char* what;
    std::vector<std::string> black;
    bool dropTable;
    int verdict;
    std::vector<std::string> found;
  };
  const Case cases[] = {
      {"empty list", {}, false, kBlackListEmpty, {}},
      {"unreadable list", {}, true, kBlackListEmpty, {}},
      {"no hit", {"{X}"}, false, kMachineReleased, {}},
      {"hits", {"{B}", "{X}", "{A}"}, false, kBlackListedFound, {"{A}", "{B}"}},
  };
  for (const Case& c : cases) {
    testing::TempDir caseDir;
    const std::string caseDb = caseDir.file("Orvask.db");
    testing::createSchema(caseDb);
    for (const auto& code : c.black)
      testing::execSql(caseDb, "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('b', '" + code + "');");
    if (c.dropTable) testing::execSql(caseDb, "DROP TABLE TBBlackList;");
    testing::FakeInventory fake;
    fake.products = {product("{A}"), product("{B}"), product("{C}")};
    CChecker checker(fake, DatabaseSettings{caseDb, std::chrono::milliseconds(100)});
    checker.EnumerateInstalledSoftware();
    EXPECT_EQ(checker.CheckBlackList(), c.verdict) << c.what;
    if (c.verdict == kBlackListedFound) {
      EXPECT_EQ(keys(checker.found), c.found) << c.what;
    }
  }
}

// First verification: every installed product is new, listed and stored.
TEST_F(Checker, FirstVerificationStoresEverything) {
  CChecker checker = enumerated({"{A}", "{B}"});
  ASSERT_EQ(checker.CheckWhiteList(), kNewSoftwareFound);
  checker.CommitWhiteList();
  EXPECT_EQ(keys(checker.notFound), (std::vector<std::string>{"{A}", "{B}"}));
  EXPECT_EQ(queryRows(db, "SELECT Name, Version, ProductCode, Path, Date FROM TBWhiteList ORDER BY ProductCode"),
            (std::vector<std::string>{"Product {A}|1.0|{A}|C:\\Apps\\{A}|20240131",
                                      "Product {B}|1.0|{B}|C:\\Apps\\{B}|20240131"}));
  CChecker again = enumerated({});
  EXPECT_EQ(again.CheckWhiteList(), kMachineReleased);
}

// White list A, B and installed A, C: B leaves the list, C joins it and is the only one listed.
TEST_F(Checker, WhiteListRemovesAndAdds) {
  whiteList({"{A}", "{B}"});
  CChecker checker = enumerated({"{A}", "{C}"});
  ASSERT_EQ(checker.CheckWhiteList(), kNewSoftwareFound);
  EXPECT_EQ(keys(checker.notFound), std::vector<std::string>{"{C}"});
  checker.CommitWhiteList();
  EXPECT_EQ(storedWhiteList(), (std::vector<std::string>{"{A}", "{C}"}));
}

// The changes stay pending until committed: a checker dropped before (the document could
// not be written) leaves the white list as it was.
TEST_F(Checker, UncommittedChangesAreRolledBack) {
  whiteList({"{A}", "{B}"});
  {
    CChecker checker = enumerated({"{A}", "{C}"});
    ASSERT_EQ(checker.CheckWhiteList(), kNewSoftwareFound);
  }
  EXPECT_EQ(storedWhiteList(), (std::vector<std::string>{"{A}", "{B}"}));
}

// Nothing installed: every white-list row is removed and the machine passes.
TEST_F(Checker, EmptyInventoryEmptiesWhiteList) {
  whiteList({"{A}", "{B}"});
  CChecker checker = enumerated({});
  EXPECT_EQ(checker.CheckWhiteList(), kMachineReleased);
  checker.CommitWhiteList();
  EXPECT_TRUE(storedWhiteList().empty());
}

TEST_F(Checker, UnchangedMachinePasses) {
  whiteList({"{A}", "{B}"});
  CChecker checker = enumerated({"{B}", "{A}"});
  EXPECT_EQ(checker.CheckWhiteList(), kMachineReleased);
  checker.CommitWhiteList();
  EXPECT_EQ(storedWhiteList(), (std::vector<std::string>{"{A}", "{B}"}));
}

// A white list that cannot be read, or new products that cannot be stored, end the
// check with a failure: no product is reported new and nothing is stored.
TEST_F(Checker, WhiteListFailuresAreNotAnEmptyList) {
  const struct {
    const char* what;
    const char* sql;
    const char* error;
  } cases[] = {
      {"missing table", "DROP TABLE TBWhiteList;", "TBWhiteList: no such table: TBWhiteList"},
      {"refused row",
       "CREATE TRIGGER refuse BEFORE INSERT ON TBWhiteList WHEN NEW.ProductCode = '{B}' "
       "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
       "TBWhiteList: refused"},
  };
  for (const auto& c : cases) {
    testing::TempDir caseDir;
    const std::string caseDb = caseDir.file("Orvask.db");
    testing::createSchema(caseDb);
    testing::execSql(caseDb, c.sql);
    testing::FakeInventory fake;
    fake.products = {product("{A}"), product("{B}"), product("{C}")};
    CChecker checker(fake, DatabaseSettings{caseDb, std::chrono::milliseconds(100)});
    checker.EnumerateInstalledSoftware();
    try {
      (void)checker.CheckWhiteList();
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const FrameworkError& failure) {
      EXPECT_EQ(failure.errorMessage(), c.error) << c.what;
    }
  }
}

TEST(ResultDocument, ExactBytes) {
  SoftwareMap listed;
  addSoftware(listed, SoftwareRecord{"Zeta", "2", "{Z}", "C:\\Z", "20240102"});
  addSoftware(listed, SoftwareRecord{"O'Brien \"Tools\"", "1", "{A}", "", "20231231"});
  const std::string softwares =
      "\t\t\"softwares\" : \n\t\t[\n"
      "\t\t\t{\n\t\t\t\t\"dtInstall\" : \"20231231\",\n\t\t\t\t\"name\" : \"O'Brien \\\"Tools\\\"\",\n"
      "\t\t\t\t\"path\" : \"\",\n\t\t\t\t\"uuid\" : \"{A}\"\n\t\t\t},\n"
      "\t\t\t{\n\t\t\t\t\"dtInstall\" : \"20240102\",\n\t\t\t\t\"name\" : \"Zeta\",\n"
      "\t\t\t\t\"path\" : \"C:\\\\Z\",\n\t\t\t\t\"uuid\" : \"{Z}\"\n\t\t\t}\n"
      "\t\t]\n";
  auto plain = [](int id, const char* message) {
    return "{\n\t\"success\" : \n\t{\n\t\t\"error\" : \n\t\t{\n\t\t\t\"id\" : " + std::to_string(id) +
           ",\n\t\t\t\"message\" : \"" + message + "\"\n\t\t}\n\t}\n}";
  };
  auto withList = [&](int id, const char* message) {
    return "{\n\t\"success\" : \n\t{\n\t\t\"error\" : \n\t\t{\n\t\t\t\"id\" : " + std::to_string(id) +
           ",\n\t\t\t\"message\" : \"" + message + "\"\n\t\t},\n" + softwares + "\t}\n}";
  };
  const SoftwareMap none;
  EXPECT_EQ(resultDocument(0, listed, listed), plain(0, "Maquina liberada para uso."));
  EXPECT_EQ(resultDocument(61451, listed, listed), plain(61451, "Drive [V:] nao esta mapeado ou esta em estado de erro."));
  EXPECT_EQ(resultDocument(61461, listed, listed), plain(61461, "BlackList vazia."));
  EXPECT_EQ(resultDocument(61465, listed, listed), plain(61465, "BlackList atualizada."));
  EXPECT_EQ(resultDocument(61464, listed, none), withList(61464, "Software(s) instalado(s) consta(m) na BlackList."));
  EXPECT_EQ(resultDocument(61474, none, listed), withList(61474, "Novo(s) software(s) instalado(s)."));
  // An empty list adds no member; an unknown code shows the default row.
  EXPECT_EQ(resultDocument(61464, none, listed), plain(61464, "Software(s) instalado(s) consta(m) na BlackList."));
  EXPECT_EQ(resultDocument(61444, listed, listed), plain(0, "Maquina liberada para uso."));
  EXPECT_EQ(resultDocument(-5, listed, listed), plain(0, "Maquina liberada para uso."));
}

// Texts reach the writer as well-formed UTF-8: a byte that is not part of a valid
// sequence becomes U+FFFD and never takes the characters after it along.
TEST(ResultDocument, TextsAreWellFormedUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"Jo\xe3o Silva", "Jo\\ufffdo Silva"},                    // a legacy code-page letter
      {"Avan\xe7" "ado 2.0", "Avan\\ufffdado 2.0"},
      {"Jo\xc3\xa3o", "Jo\\u00e3o"},                           // well-formed text is kept
      {"\xf0\x9f\x98\x80!", "\\ud83d\\ude00!"},
      {"cut \xc3", "cut \\ufffd"},                              // sequence cut by the end
      {"\xe2\x82 x", "\\ufffd\\ufffd x"},                      // cut by the next character
      {"\xc0\xaf", "\\ufffd\\ufffd"},                          // overlong
      {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},              // surrogate
      {"\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},  // beyond U+10FFFF
      {"\x80tail", "\\ufffdtail"},                              // stray continuation byte
  };
  for (const auto& [text, escaped] : cases) {
    SoftwareMap listed;
    addSoftware(listed, SoftwareRecord{text, "1", "{" + text + "}", "C:\\" + text, text});
    const std::string document = resultDocument(kNewSoftwareFound, {}, listed);
    for (const std::string& member : {"\"dtInstall\" : \"" + escaped + "\"", "\"name\" : \"" + escaped + "\"",
                                      "\"path\" : \"C:\\\\" + escaped + "\"", "\"uuid\" : \"{" + escaped + "}\""}) {
      EXPECT_NE(document.find(member), std::string::npos) << member << " in\n" << document;
    }
  }
}

TEST(ResultDocument, PrintEndsWithLineEnd) {
  testing::FakeInventory fake;
  CChecker checker(fake, DatabaseSettings{});
  std::ostringstream out;
  checker.PrintResult(kBlackListEmpty, out);
  EXPECT_EQ(out.str(), resultDocument(kBlackListEmpty, {}, {}) + "\n");
}

TEST(DecodeBase64, StopsAtPadOrForeignCharacter) {
  const std::pair<const char*, std::string> cases[] = {
      {"", ""},
      {"TWFu", "Man"},
      {"TWE=", "Ma"},
      {"TQ==", "M"},
      {"TWE", "Ma"},     // partial group of three: two bytes
      {"TQ", "M"},       // partial group of two: one byte
      {"TWFuT", "Man"},  // lone leftover character: nothing
      {"TWFu=TWFu", "Man"},
      {"TWFu TWFu", "Man"},
      {"TW\nFu", "M"},
      {"+/+/", "\xfb\xff\xbf"},
      {"AAAA", std::string(3, '\0')},
  };
  for (const auto& [in, expected] : cases) EXPECT_EQ(DecodeBase64(in), expected) << in;
  // The encoder is the decoder's inverse for every tail length.
  for (const std::string plain : {"", "M", "Ma", "Man", "Many \xff\x00 bytes"}) {
    EXPECT_EQ(DecodeBase64(base64(plain)), plain) << plain;
  }
  EXPECT_EQ(base64("Ma"), "TWE=");
}

TEST(BlackListInput, ReadsEntries) {
  struct Case {
    const char* json;
    std::vector<std::string> expected;  // "code|name|version" in key order
  };
  const Case cases[] = {
      {R"({"content":[{"name":"B","productcode":"{2}","version":"1"},{"name":"A","productcode":"{1}","version":"2"}]})",
       {"{1}|A|2", "{2}|B|1"}},
      // the first element of a product code wins
      {R"({"content":[{"name":"first","productcode":"{1}","version":"1"},{"name":"second","productcode":"{1}"}]})",
       {"{1}|first|1"}},
      // reading ends at the first element without a name
      {R"({"content":[{"name":"A","productcode":"{1}"},{"productcode":"{2}"},{"name":"C","productcode":"{3}"}]})",
       {"{1}|A|"}},
      // numbers and booleans become their text, null and missing members the empty text
      {R"({"content":[{"name":7,"productcode":true,"version":null}]})", {"true|7|"}},
      {R"({"content":[{"name":"O'Brien","productcode":"{1}","version":"1","extra":[1]}],"other":{}})",
       {"{1}|O'Brien|1"}},
      {R"({"content":[]})", {}},
      {R"({"nothing":1})", {}},
      {"null", {}},
      {"// comment\n{\"content\":[{\"name\":\"A\",\"productcode\":\"{1}\"}]} trailing", {"{1}|A|"}},
  };
  for (const Case& c : cases) {
    SoftwareMap entries = mapOf({"stale"});
    ASSERT_TRUE(readBlackListInput(base64(c.json), entries)) << c.json;
    std::vector<std::string> got;
    for (const auto& [key, r] : entries) {
      EXPECT_EQ(key, r.ProductCode);
      EXPECT_EQ(r.Path + r.Date, "");
      got.push_back(key + "|" + r.Name + "|" + r.Version);
    }
    EXPECT_EQ(got, c.expected) << c.json;
  }
}

// Input that is not JSON, or JSON of a shape that cannot hold the list, is refused whole.
TEST(BlackListInput, RefusesUnreadableShapes) {
  const std::string cases[] = {
      "not json",
      "",
      "[1,2]",
      "\"text\"",
      R"({"content":{"name":"A"}})",
      R"({"content":"A"})",
      R"({"content":[{"name":"A","productcode":"{1}"},5]})",
      // null is an element that is not an object, wherever it stands
      R"({"content":[null,{"name":"A","productcode":"{1}"}]})",
      R"({"content":[{"name":"A","productcode":"{1}"},null,{"name":"C","productcode":"{3}"}]})",
      R"({"content":[{"name":"A","productcode":"{1}"},null]})",
      R"({"content":[{"name":["A"],"productcode":"{1}"}]})",
      R"({"content":[{"name":"A","productcode":{"x":1}}]})",
      R"({"content":[{"name":"A","productcode":"{1}","version":[]}]})",
      "{\"content\":" + std::string(5000, '[') + std::string(5000, ']') + "}",  // nesting beyond the reader's limit
  };
  for (const std::string& json : cases) {
    SoftwareMap entries = mapOf({"kept"});
    EXPECT_FALSE(readBlackListInput(base64(json), entries)) << json;
    EXPECT_EQ(keys(entries), std::vector<std::string>{"kept"}) << json;
  }
  SoftwareMap entries;
  EXPECT_FALSE(readBlackListInput("!!!!", entries));  // decodes to nothing
}

}  // namespace
}  // namespace orvask
