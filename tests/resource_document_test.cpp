#include "tolmi_gcp/ResourceDocument.hpp"

#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/json_text.hpp"

namespace tolmi_gcp {
namespace {

TEST(ResourceDocumentTruthiness, EmptyValuesOfEveryTypeAreFalse) {
  for (const ResourceDocument& empty :
       {ResourceDocument(), ResourceDocument(false), ResourceDocument(0), ResourceDocument(0u),
        ResourceDocument(0.0), ResourceDocument(""), ResourceDocument::array(),
        ResourceDocument::object()})
    EXPECT_FALSE(truthy(empty)) << empty.dump();
  for (const ResourceDocument& present :
       {ResourceDocument(true), ResourceDocument(-1), ResourceDocument(2u), ResourceDocument(0.5),
        ResourceDocument(" "), ResourceDocument::array({0}), ResourceDocument({{"a", nullptr}})})
    EXPECT_TRUE(truthy(present)) << present.dump();
}

TEST(ResourceDocument, TextFormIsTheStringItselfOrCompactJson) {
  EXPECT_EQ(textOf("10.0.0.0/8"), "10.0.0.0/8");
  EXPECT_EQ(textOf(ResourceDocument{{"b", 1}, {"a", "x"}}), R"({"b":1,"a":"x"})");
  EXPECT_EQ(textOf(nullptr), "null");
  EXPECT_EQ(textOf(1.5), "1.5");
  // A log line must never fail, even on bytes that are not UTF-8.
  EXPECT_EQ(textOf(ResourceDocument{{"m", "a\xff"}}), "{\"m\":\"a\xEF\xBF\xBD\"}");
}

TEST(ResourceDocument, KeyedAccessNamesWhatIsMissing) {
  ResourceDocument doc = {{"status", "DONE"}, {"items", {1}}, {"count", 3}};
  EXPECT_EQ(at(doc, "status"), "DONE");
  const ResourceDocument& items = at(doc, "items");
  EXPECT_EQ(at(items, 0u), 1);
  at(doc, "count") = 4;
  EXPECT_EQ(doc["count"], 4);

  auto missingKey = [](auto&& access) -> std::string {
    try {
      access();
    } catch (const MissingKeyError& failure) {
      return failure.what();
    }
    return "(no MissingKeyError)";
  };
  EXPECT_EQ(missingKey([&] { at(doc, "selfLink"); }), "missing key 'selfLink'");
  EXPECT_EQ(missingKey([&] { at(items, 1u); }), "missing key '[1]'");
  EXPECT_EQ(missingKey([&] { at(doc["status"], "name"); }), "missing key 'name'");
  EXPECT_EQ(missingKey([&] { at(ResourceDocument{{"a", 1}}, 0u); }), "missing key '[0]'");
  EXPECT_EQ(doc.size(), 3u) << "a failed lookup adds nothing";

  EXPECT_TRUE(has(doc, "status"));
  EXPECT_FALSE(has(doc, "name"));
  EXPECT_FALSE(has(ResourceDocument::array(), "status"));
  EXPECT_EQ(valueOr(doc, "name", "fallback"), "fallback");
  EXPECT_EQ(arrayOrEmpty(doc, "warnings"), ResourceDocument::array());
  EXPECT_EQ(arrayOrEmpty(nullptr, "items"), ResourceDocument::array());
  EXPECT_EQ(arrayOrEmpty(doc, "items"), ResourceDocument{1});
}

TEST(ResourceDocument, TypeRefusalsNameTheArgumentAndNeverFailThemselves) {
  ResourceDocument doc = {{"name", 42}, {"odd", {{"k", "\xff"}}}};
  try {
    stringAt(doc, "name");
    FAIL() << "expected ArgumentTypeError";
  } catch (const ArgumentTypeError& failure) {
    EXPECT_EQ(failure.argument(), "name");
    EXPECT_STREQ(failure.what(), "argument 'name' must be a string, got number 42");
  }
  // The refusal of a value holding bytes that are not UTF-8 is still a clear refusal.
  try {
    stringAt(doc, "odd");
    FAIL() << "expected ArgumentTypeError";
  } catch (const ArgumentTypeError& failure) {
    EXPECT_EQ(failure.argument(), "odd");
  }
}

TEST(Failures, StackTraceNamesEachNestedFailure) {
  try {
    try {
      throw HttpError(409, "alreadyExists", "POST", "http://e/x", "exists");
    } catch (...) {
      std::throw_with_nested(OperationError(ResourceDocument{{"code", "X"}}));
    }
  } catch (const std::exception& failure) {
    EXPECT_EQ(describeFailure(failure),
              "Traceback (failure):\n"
              "  std::_Nested_exception<tolmi_gcp::OperationError>: {\"code\":\"X\"}\n"
              "Caused by:\n"
              "  tolmi_gcp::HttpError: HTTP 409 alreadyExists: exists [POST http://e/x]\n");
  }
}

TEST(ParseDocument, RefusesNestingBeyondTheLimitWithoutCrashing) {
  auto repeat = [](const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
  };
  for (const std::string& text :
       {repeat("[", 200000), repeat("{\"a\":", 200000), repeat("[{\"a\":", 100000),
        repeat("[", 257) + repeat("]", 257), repeat(" [", 200000) + repeat("]", 200000)}) {
    EXPECT_THROW(parseDocument(text), DocumentError) << text.substr(0, 20);
    EXPECT_TRUE(parseDocumentOrDiscarded(text).is_discarded());
  }
  EXPECT_EQ(parseDocument(repeat("[", 256) + repeat("]", 256)).dump(),
            repeat("[", 256) + repeat("]", 256));
  EXPECT_THROW(parseYamlText(repeat("[", 200000), "deep.yaml"), ConfigError);
}

// Same types all the way down and the same text: dump() alone hides 0 against 0u.
bool sameDocument(const ResourceDocument& a, const ResourceDocument& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (a.is_object())
    return std::equal(a.items().begin(), a.items().end(), b.items().begin(),
                      [](const auto& x, const auto& y) {
                        return x.key() == y.key() && sameDocument(x.value(), y.value());
                      });
  if (a.is_array()) return std::equal(a.begin(), a.end(), b.begin(), sameDocument);
  return a.dump() == b.dump();
}

TEST(ParseDocument, GivesExactlyWhatNlohmannGives) {
  // Texts between "|": numbers, keys, escapes and malformed ones.
  std::vector<std::string> texts;
  std::istringstream table(
      "0|-0|[-0]|-0.0|1E400|1e-400|4.9e-324|2.2250738585072011e-308|9223372036854775807|"
      "9223372036854775808|-9223372036854775808|-9223372036854775809|18446744073709551615|"
      "18446744073709551616|123456789012345678901234567890|0.1|1e2|-1.5E-3|01|1.|.5|+1|"
      "[1,]|{\"a\":1,\"b\":2,\"a\":3}|{\"z\":1,\"a\":{\"y\":[true,false,null]}}|"
      "\"\\u00e9\\ud83d\\ude00\\n\\\"\\/\\u0000\"|\"\\ud800\"|\"\\udc00x\"|\"\xff\"|"
      "\"\x01\"|\xEF\xBB\xBF{}|{} x|| |nul|[\"net-0\", -0 ]|"
      "{\"name\":\"gw-0\",\"priority\":1000,\"w\":-0}");
  for (std::string text; std::getline(table, text, '|');) texts.push_back(text);
  texts.push_back(std::string("1\0 2", 3));  // nlohmann stops reading at a NUL byte
  const std::string seed =
      R"({"kind":"compute#routeList","items":[{"name":"r-0","priority":1000,"tags":[],)"
      R"("x":-12.5e3,"ok":true,"n":null,"u":"\u00e9\t"},{"name":"r-1","a":{"b":[0,1]}}]})";
  std::mt19937 random(19);
  const std::string alphabet = "[]{}\",:-0123456789eE.tfnu \\\x80\xff";
  for (int i = 0; i < 4000; ++i) {
    std::string text = i % 2 ? seed : texts[random() % texts.size()];
    for (int edits = 1 + random() % 3; edits > 0 && !text.empty(); --edits) {
      std::size_t at = random() % text.size();
      char c = alphabet[random() % alphabet.size()];
      if (random() % 3 == 0)
        text.erase(at, 1);
      else if (random() % 2)
        text.insert(at, 1, c);
      else
        text[at] = c;
    }
    texts.push_back(text);
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string& text = texts[i];
    ResourceDocument expected = ResourceDocument::parse(text, nullptr, false);
    ResourceDocument got = parseDocumentOrDiscarded(text);
    EXPECT_TRUE(expected.is_discarded() ? got.is_discarded() : sameDocument(got, expected))
        << text << " gave " << got.dump(-1, ' ', false, ResourceDocument::error_handler_t::replace);

    // Parsed in place (every other text with the room to be read without a copy), the light
    // document is the same without "items"; what nlohmann refuses is refused too.
    std::string kept = text;
    if (i % 2) kept.reserve(text.size() + kJsonTextPadding);
    try {
      ResourceDocument light = JsonText(std::move(kept)).documentWithout("items");
      if (expected.is_object()) expected.erase("items");
      EXPECT_TRUE(!expected.is_discarded() && sameDocument(light, expected)) << text;
    } catch (const DocumentError&) {
      EXPECT_TRUE(expected.is_discarded()) << text;
    }
  }
}

}  // namespace
}  // namespace tolmi_gcp
