#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"

#include <gtest/gtest.h>

#include "temp_dir.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {
namespace {

ResourceDocument parse(const std::string& text) { return parseYamlText(text, "migration.yaml"); }

std::string configErrorOf(const std::string& text) {
  try {
    parse(text);
  } catch (const ConfigError& failure) {
    return failure.what();
  }
  return "(no ConfigError)";
}

TEST(YamlContext, PlainScalarsAreTypedByTheCoreSchemaAndQuotedOnesStayText) {
  ResourceDocument doc = parse(R"(
decimal: 1000
signed: -12
octal: 0o17
hex: 0xFF
big: 18446744073709551615
float: 2.5
exponent: 1e3
leading_dot: .5
yes_false: [true, True, FALSE]
nulls: [~, null, NULL]
empty:
cidr: 10.0.0.0/8
version: 1.2.3
yaml11_words: [yes, no, on, off, y]
specials: [.inf, -.Inf, .nan]
quoted: ["1000", '0o17', "true", 'null', "", "~"]
)");
  EXPECT_EQ(doc["decimal"], 1000);
  EXPECT_TRUE(doc["decimal"].is_number_integer());
  EXPECT_EQ(doc["signed"], -12);
  EXPECT_EQ(doc["octal"], 15);
  EXPECT_EQ(doc["hex"], 255);
  EXPECT_EQ(doc["big"].get<std::uint64_t>(), 18446744073709551615u);
  EXPECT_EQ(doc["float"], 2.5);
  EXPECT_EQ(doc["exponent"], 1000.0);
  EXPECT_TRUE(doc["exponent"].is_number_float());
  EXPECT_EQ(doc["leading_dot"], 0.5);
  EXPECT_EQ(doc["yes_false"], (ResourceDocument{true, true, false}));
  EXPECT_EQ(doc["nulls"], (ResourceDocument{nullptr, nullptr, nullptr}));
  EXPECT_TRUE(doc["empty"].is_null());
  EXPECT_EQ(doc["cidr"], "10.0.0.0/8");
  EXPECT_EQ(doc["version"], "1.2.3");
  // YAML 1.1's boolean words are plain text in 1.2.
  EXPECT_EQ(doc["yaml11_words"], (ResourceDocument{"yes", "no", "on", "off", "y"}));
  // JSON cannot hold them as numbers; they must not turn into null.
  EXPECT_EQ(doc["specials"], (ResourceDocument{".inf", "-.Inf", ".nan"}));
  EXPECT_EQ(doc["quoted"], (ResourceDocument{"1000", "0o17", "true", "null", "", "~"}));
}

// The edges of each number form: what is one, and what only looks close to one and stays text.
TEST(YamlContext, NumberFormsAreMatchedWholeAndNearMissesStayText) {
  ResourceDocument doc = parse(R"(
numbers: [+12, -0, 1., +.5e-3, 2E+2, -1.5e3, 0x1f, 0o0, 007]
text: [+, ., 1e, e5, .e1, 1.5., 0o8, 0x, 0xG, 0o, 1_000, --1, 1e+, tRue, nULL, 12a, .5.5]
)");
  EXPECT_EQ(doc["numbers"], (ResourceDocument{12, 0, 1.0, 0.0005, 200.0, -1500.0, 31, 0, 7}));
  EXPECT_TRUE(doc["numbers"][1].is_number_integer());
  EXPECT_TRUE(doc["numbers"][2].is_number_float());
  for (const ResourceDocument& item : doc["text"])
    EXPECT_TRUE(item.is_string()) << item.dump() << " should stay text";
}

TEST(YamlContext, MappingOrderIsKeptAtEveryLevel) {
  ResourceDocument doc = parse(R"(
zeta: 1
alpha:
  second: 2
  first: 1
middle: [{b: 1, a: 2}]
)");
  EXPECT_EQ(doc.dump(), R"({"zeta":1,"alpha":{"second":2,"first":1},"middle":[{"b":1,"a":2}]})");
}

TEST(YamlContext, BadFilesAreConfigErrorsNamingFileLineAndColumn) {
  EXPECT_EQ(configErrorOf("project_id: p\ntransit_vpcs: [a, b\nvpc_name: s\n"),
            "migration.yaml:3:9: end of sequence flow not found");
  EXPECT_EQ(configErrorOf("a: 1\nb: 2\na: 3\n"), "migration.yaml:3:1: duplicate key 'a'");
  EXPECT_EQ(configErrorOf("? [a, b]\n: 1\n"), "migration.yaml:1:3: mapping keys must be scalars");
  // A missing closing quote must not swallow the keys after it.
  EXPECT_EQ(configErrorOf("project_id: 'proj-a\nvpc_name: spoke\n"),
            "migration.yaml:1:13: quoted text has no closing single quote");
  EXPECT_EQ(configErrorOf("a: 1\nb: \"x\\\"\n"),
            "migration.yaml:2:4: quoted text has no closing double quote");
  EXPECT_EQ(configErrorOf("a: 1\n'b: 2\n"),
            "migration.yaml:2:1: quoted text has no closing single quote");
  EXPECT_EQ(parse("\xEF\xBB\xBF"
                  "a: 'it''s'\nb: \"say \\\"hi\\\"\"\nc: ''\n"),
            (ResourceDocument{{"a", "it's"}, {"b", "say \"hi\""}, {"c", ""}}));
  // JSON writers escape a character beyond U+FFFF as a surrogate pair; a lone half is refused.
  EXPECT_EQ(parse(R"({"d": "\ud83d\ude00 \\ud83d\" \u00e9"})"),
            (ResourceDocument{{"d", "\xF0\x9F\x98\x80 \\ud83d\" \xC3\xA9"}}));
  EXPECT_EQ(configErrorOf(R"({"d": "\ud83d"})"), "migration.yaml:1:14: invalid unicode: 55357");

  testing::TempDir dir;
  std::string missing = dir.file("absent.yaml");
  try {
    parseYamlFile(missing);
    FAIL() << "expected ConfigError";
  } catch (const ConfigError& failure) {
    EXPECT_EQ(std::string(failure.what()), missing + ": cannot be read");
  }
  std::string broken = dir.write("broken.yaml", "a: 'unterminated\n");
  try {
    parseYamlFile(broken);
    FAIL() << "expected ConfigError";
  } catch (const ConfigError& failure) {
    EXPECT_EQ(std::string(failure.what()).rfind(broken + ":", 0), 0u) << failure.what();
  }
}

TEST(YamlContext, GetContextReadsTheInstalledFileAfreshAndGivesNullForAbsentKeys) {
  testing::TempDir dir;
  YamlContext::load(dir.write("m.yaml", "project_id: proj-a\nmanage_routes:\n"));
  EXPECT_EQ(YamlContext{}.getContext("project_id"), "proj-a");
  EXPECT_TRUE(YamlContext{}.getContext("manage_routes").is_null());
  EXPECT_TRUE(YamlContext{}.getContext("transit_vpcs").is_null());

  YamlContext::setContext({{"project_id", "proj-b"}});
  EXPECT_EQ(YamlContext{}.getContext("project_id"), "proj-b");
  YamlContext::setContext(ResourceDocument::array());
  EXPECT_TRUE(YamlContext{}.getContext("project_id").is_null());
}

}  // namespace
}  // namespace tolmi_gcp
