#include "emulator/schema.hpp"

#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>

#include "tolmi_gcp/internal/path_template.hpp"

namespace tolmi_gcp::emulator {

// The bundled compute-v1-schema.json, linked in whole by the assembler.
extern "C" const char tolmi_compute_schema_begin[];
extern "C" const char tolmi_compute_schema_end[];
asm(".section .rodata\n"
    ".global tolmi_compute_schema_begin\n"
    "tolmi_compute_schema_begin:\n"
    ".incbin \"" TOLMI_COMPUTE_SCHEMA
    "\"\n"
    ".global tolmi_compute_schema_end\n"
    "tolmi_compute_schema_end:\n"
    ".previous\n");

namespace {

// A map message (string keys to values) has only the field "additionalProperties".
bool isMap(const ResourceDocument& fields) {
  return fields.size() == 1 && fields.contains("additionalProperties");
}

bool isDecimal(const std::string& text, bool sign) {
  std::string_view digits = text;
  if (sign && digits.starts_with('-')) digits.remove_prefix(1);
  return !digits.empty() && digits.size() <= 20 &&
         std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Where a member or element sits, for problem lines.
std::string member(const std::string& where, const std::string& key) {
  return where.empty() ? key : where + "." + key;
}

}  // namespace

Schema::Schema(const ResourceDocument& description) : messages_(description.at("schemas")) {
  for (const auto& [id, method] : description.at("methods").items()) {
    Method entry{id, method.at("httpMethod"), method.at("path"), {}, "", ""};
    for (const auto& name : method.at("queryParams")) entry.query.push_back(name);
    entry.requestBody = valueOr(method, "requestBody", "").get<std::string>();
    entry.response = method.at("response");
    methods_.push_back(std::move(entry));
  }
}

const Schema& Schema::compute() {
  static const Schema schema(ResourceDocument::parse(std::string_view(
      tolmi_compute_schema_begin, tolmi_compute_schema_end - tolmi_compute_schema_begin)));
  return schema;
}

const Schema::Method* Schema::method(std::string_view verb,
                                     const std::vector<std::string>& path) const {
  for (const Method& candidate : methods_)
    if (candidate.verb == verb && matchPath(candidate.path, path)) return &candidate;
  return nullptr;
}

const ResourceDocument& Schema::fieldsOf(const std::string& type) const {
  if (!messages_.contains(type)) throw std::logic_error("no message type '" + type + "'");
  return messages_[type]["fields"];
}

std::vector<std::string> Schema::problems(const std::string& type,
                                          const ResourceDocument& value) const {
  std::vector<std::string> out;
  checkMessage(type, value, "", out);
  return out;
}

void Schema::checkMessage(const std::string& type, const ResourceDocument& value,
                          const std::string& where, std::vector<std::string>& out) const {
  const ResourceDocument& fields = fieldsOf(type);
  if (!value.is_object()) {
    out.push_back(where + ": expected an object (" + type + ")");
    return;
  }
  if (isMap(fields)) {
    const ResourceDocument& entry = fieldsOf(fields["additionalProperties"]["type"]);
    for (const auto& [key, item] : value.items())
      check(entry["value"], item, member(where, key), out);
    return;
  }
  for (const auto& [key, item] : value.items()) {
    if (!fields.contains(key))
      out.push_back(member(where, key) + ": unknown field of " + type);
    else
      check(fields[key], item, member(where, key), out);
  }
  // Resources and lists name themselves: "compute#" and the type, first letter lower-case.
  if (fields.contains("kind") && value.contains("kind") && type.find('.') == std::string::npos) {
    std::string kind = "compute#" + type;
    kind[8] = static_cast<char>(std::tolower(static_cast<unsigned char>(kind[8])));
    if (value["kind"] != kind)
      out.push_back(member(where, "kind") + ": " + textOf(value["kind"]) + ", expected " + kind);
  }
}

void Schema::check(const ResourceDocument& field, const ResourceDocument& value,
                   const std::string& where, std::vector<std::string>& out) const {
  if (valueOr(field, "repeated", false).get<bool>()) {
    if (!value.is_array()) {
      out.push_back(where + ": expected a list");
      return;
    }
    ResourceDocument single = field;
    single.erase("repeated");
    for (std::size_t i = 0; i < value.size(); ++i)
      check(single, value[i], where + "[" + std::to_string(i) + "]", out);
    return;
  }
  if (field.contains("enum")) {
    const ResourceDocument& values = field["enum"];
    if (!value.is_string() || std::find(values.begin(), values.end(), value) == values.end())
      out.push_back(where + ": " + value.dump() + " is not one of " + values.dump());
    return;
  }
  std::string type = field.at("type");
  std::string format = valueOr(field, "format", "").get<std::string>();
  bool fits = true;
  if (type == "string" || type == "bytes") {
    fits = value.is_string();
  } else if (type == "boolean") {
    fits = value.is_boolean();
  } else if (type == "float") {
    fits = value.is_number();
  } else if (type == "integer" && (format == "int64" || format == "uint64")) {
    // 64-bit integers travel as decimal strings.
    fits = value.is_string() && isDecimal(value.get<std::string>(), format == "int64");
  } else if (type == "integer") {
    bool isUnsigned = format == "uint32";
    long long low = isUnsigned ? 0 : std::numeric_limits<std::int32_t>::min();
    long long high = isUnsigned ? std::numeric_limits<std::uint32_t>::max()
                                : std::numeric_limits<std::int32_t>::max();
    fits = value.is_number_integer() && value.get<long long>() >= low &&
           value.get<long long>() <= high;
  } else if (type != "JsonValue") {
    checkMessage(type, value, where, out);
    return;
  }
  if (!fits) out.push_back(where + ": " + value.dump() + " is not of type " + type + " " + format);
}

ResourceDocument Schema::input(const std::string& type, const ResourceDocument& value) const {
  const ResourceDocument& fields = fieldsOf(type);
  if (!value.is_object()) return value;
  ResourceDocument out = ResourceDocument::object();
  if (isMap(fields)) {
    const ResourceDocument& entry = fieldsOf(fields["additionalProperties"]["type"]);
    for (const auto& [key, item] : value.items()) out[key] = inputValue(entry["value"], item);
    return out;
  }
  for (const auto& [key, item] : value.items())
    if (fields.contains(key) && !valueOr(fields[key], "outputOnly", false).get<bool>())
      out[key] = inputValue(fields[key], item);
  return out;
}

ResourceDocument Schema::inputValue(const ResourceDocument& field,
                                    const ResourceDocument& value) const {
  std::string type = valueOr(field, "type", "").get<std::string>();
  if (!messages_.contains(type)) return value;
  if (!value.is_array()) return input(type, value);
  ResourceDocument out = ResourceDocument::array();
  for (const auto& item : value) out.push_back(input(type, item));
  return out;
}

}  // namespace tolmi_gcp::emulator
