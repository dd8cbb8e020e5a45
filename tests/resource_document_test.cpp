#include "tolmi_gcp/ResourceDocument.hpp"

#include <gtest/gtest.h>

#include "tolmi_gcp/errors.hpp"

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

}  // namespace
}  // namespace tolmi_gcp
