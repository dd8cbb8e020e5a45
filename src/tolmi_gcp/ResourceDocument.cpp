#include "tolmi_gcp/ResourceDocument.hpp"

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {

std::string textOf(const ResourceDocument& value) {
  if (value.is_string()) return value.get_ref<const std::string&>();
  // Replace rather than throw on invalid UTF-8: a log line must never fail.
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool truthy(const ResourceDocument& value) {
  switch (value.type()) {
    case ResourceDocument::value_t::null:
      return false;
    case ResourceDocument::value_t::boolean:
      return value.get<bool>();
    case ResourceDocument::value_t::number_integer:
      return value.get<std::int64_t>() != 0;
    case ResourceDocument::value_t::number_unsigned:
      return value.get<std::uint64_t>() != 0;
    case ResourceDocument::value_t::number_float:
      return value.get<double>() != 0.0;
    case ResourceDocument::value_t::string:
      // empty() is false for every string: the JSON library counts a scalar as one element.
      return !value.get_ref<const std::string&>().empty();
    case ResourceDocument::value_t::array:
    case ResourceDocument::value_t::object:
      return !value.empty();
    default:
      return true;
  }
}

bool has(const ResourceDocument& doc, std::string_view key) {
  return doc.is_object() && doc.find(key) != doc.end();
}

const ResourceDocument& at(const ResourceDocument& doc, std::string_view key) {
  if (doc.is_object()) {
    auto it = doc.find(key);
    if (it != doc.end()) return *it;
  }
  throw MissingKeyError(std::string(key));
}

ResourceDocument& at(ResourceDocument& doc, std::string_view key) {
  if (doc.is_object()) {
    auto it = doc.find(key);
    if (it != doc.end()) return *it;
  }
  throw MissingKeyError(std::string(key));
}

const ResourceDocument& at(const ResourceDocument& doc, std::size_t index) {
  if (doc.is_array() && index < doc.size()) return doc[index];
  throw MissingKeyError("[" + std::to_string(index) + "]");
}

const std::string& stringAt(const ResourceDocument& doc, std::string_view key) {
  const ResourceDocument& value = at(doc, key);
  if (!value.is_string()) throw ArgumentTypeError(std::string(key), "a string", value);
  return value.get_ref<const std::string&>();
}

const ResourceDocument& valueOr(const ResourceDocument& doc, std::string_view key,
                                const ResourceDocument& fallback) {
  if (doc.is_object()) {
    auto it = doc.find(key);
    if (it != doc.end()) return *it;
  }
  return fallback;
}

ResourceDocument valueOr(const ResourceDocument& doc, std::string_view key,
                         ResourceDocument&& fallback) {
  return valueOr(doc, key, static_cast<const ResourceDocument&>(fallback));
}

const ResourceDocument& memberOrNull(const ResourceDocument& doc, std::string_view key) {
  static const ResourceDocument kNull;
  return valueOr(doc, key, kNull);
}

const ResourceDocument& arrayOrEmpty(const ResourceDocument& doc, std::string_view key) {
  static const ResourceDocument kEmpty = ResourceDocument::array();
  return valueOr(doc, key, kEmpty);
}

}  // namespace tolmi_gcp
