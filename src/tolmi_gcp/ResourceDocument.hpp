#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tolmi_gcp {

// Requests, responses, configuration values and revert-record entries. Objects keep insertion
// order, so bodies go out in the order they were built.
using ResourceDocument = nlohmann::ordered_json;

// The deepest nesting of arrays and objects a parsed document may have. Copying, printing and
// comparing documents recurse, so deeper text is refused before any of it is built.
inline constexpr int kMaxDocumentDepth = 256;

// Text that parseDocument refuses: not JSON, or nested deeper than kMaxDocumentDepth.
class DocumentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// JSON text as a document, exactly as ResourceDocument::parse reads it (number types, strings, a
// repeated key's last value in its first place), but refusing nesting beyond kMaxDocumentDepth.
// Every document read from an answer, a file or a request body goes through here. Throws
// DocumentError saying what is wrong.
ResourceDocument parseDocument(std::string_view text);

// parseDocument, or a discarded value (is_discarded()) for refused text.
ResourceDocument parseDocumentOrDiscarded(std::string_view text);

// The text form used in log lines: a string as it is, anything else as compact JSON.
std::string textOf(const ResourceDocument& value);

// `value` as JSON text (compact, or indented by `indent`), with bytes that are not UTF-8 written
// as U+FFFD: writing a document never fails.
std::string jsonText(const ResourceDocument& value, int indent = -1);

// True for a present, non-empty value: not null, false, zero, "", [] or {}.
bool truthy(const ResourceDocument& value);

// doc[key] for an object that must hold the key; throws MissingKeyError naming the key (also when
// doc is not an object).
const ResourceDocument& at(const ResourceDocument& doc, std::string_view key);
ResourceDocument& at(ResourceDocument& doc, std::string_view key);

// doc[index] for an array that must be long enough; throws MissingKeyError naming the index.
const ResourceDocument& at(const ResourceDocument& doc, std::size_t index);

// True when doc is an object holding key.
bool has(const ResourceDocument& doc, std::string_view key);

// at(doc, key) that must be a string; throws ArgumentTypeError naming the key otherwise.
const std::string& stringAt(const ResourceDocument& doc, std::string_view key);

// doc[key] when present, otherwise null. The reference stays valid as long as doc does.
const ResourceDocument& memberOrNull(const ResourceDocument& doc, std::string_view key);

// doc[key] when present, otherwise `fallback`. A temporary fallback (a literal, say) gives a
// copy, so that the result never refers to a value that is already gone.
const ResourceDocument& valueOr(const ResourceDocument& doc, std::string_view key,
                                const ResourceDocument& fallback);
ResourceDocument valueOr(const ResourceDocument& doc, std::string_view key,
                         ResourceDocument&& fallback);

// doc[key] when present, otherwise an empty array.
const ResourceDocument& arrayOrEmpty(const ResourceDocument& doc, std::string_view key);

}  // namespace tolmi_gcp
