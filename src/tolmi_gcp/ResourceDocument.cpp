#include "tolmi_gcp/ResourceDocument.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include <simdjson.h>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/json_text.hpp"

namespace tolmi_gcp {

namespace {

using simdjson::dom::element_type;

// The byte at which brackets outside strings first nest deeper than kMaxDocumentDepth, if they do.
std::optional<std::size_t> tooDeepAt(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDocumentDepth) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return std::nullopt;
}

// nlohmann's own parser behind the depth check: what parseDocument must give, and the way for the
// texts the fast path leaves to it (refusals, integers beyond 64 bits, -0).
ResourceDocument referenceParse(std::string_view text) {
  if (auto at = tooDeepAt(text))
    throw DocumentError("JSON nested deeper than " + std::to_string(kMaxDocumentDepth) +
                        " levels (at byte " + std::to_string(*at) + ")");
  try {
    return ResourceDocument::parse(text);
  } catch (const nlohmann::json::exception& failure) {
    throw DocumentError(failure.what());
  }
}

// True when the text may hold the number -0, which nlohmann reads as a signed zero and the fast
// parser cannot tell from 0. The token is followed by a delimiter, so names like "net-0" pass.
bool mayHoldMinusZero(std::string_view text) {
  for (std::size_t at = text.find("-0"); at != std::string_view::npos;
       at = text.find("-0", at + 1)) {
    if (at + 2 == text.size()) return true;
    char next = text[at + 2];
    if (next == ',' || next == ']' || next == '}' || next == ' ' || next == '\t' || next == '\n' ||
        next == '\r')
      return true;
  }
  return false;
}

// Builds the document from simdjson's validated tape. simdjson refuses depth beyond the limit, so
// the recursion is bounded.
class TapeReader {
 public:
  // `left`, when given, is a member of this object left out.
  ResourceDocument read(simdjson::dom::element value, const std::string_view* left = nullptr) {
    switch (value.type()) {
      case element_type::ARRAY: {
        simdjson::dom::array array = value.get_array().value_unsafe();
        ResourceDocument out = ResourceDocument::array();
        auto& items = out.get_ref<ResourceDocument::array_t&>();
        items.reserve(array.size());
        for (simdjson::dom::element item : array) items.push_back(read(item));
        return out;
      }
      case element_type::OBJECT: {
        simdjson::dom::object object = value.get_object().value_unsafe();
        ResourceDocument out = ResourceDocument::object();
        auto& members = out.get_ref<ResourceDocument::object_t&>();
        members.reserve(object.size());
        for (simdjson::dom::key_value_pair member : object) {
          if (left && member.key == *left) continue;
          ResourceDocument child = read(member.value);
          // As nlohmann does: a repeated key keeps its first place and takes the last value.
          auto [it, inserted] = members.emplace(member.key, std::move(child));
          if (!inserted) it->second = std::move(child);
        }
        return out;
      }
      case element_type::INT64: {
        std::int64_t number = value.get_int64().value_unsafe();
        // nlohmann gives every integer without a sign an unsigned type.
        if (number < 0) return number;
        if (number == 0) sawZero_ = true;
        return static_cast<std::uint64_t>(number);
      }
      case element_type::UINT64:
        return value.get_uint64().value_unsafe();
      case element_type::DOUBLE:
        return value.get_double().value_unsafe();
      case element_type::STRING:
        return value.get_string().value_unsafe();
      case element_type::BOOL:
        return value.get_bool().value_unsafe();
      case element_type::NULL_VALUE:
        break;
    }
    return nullptr;
  }

  bool sawZero() const { return sawZero_; }

 private:
  bool sawZero_ = false;
};

simdjson::dom::parser depthBoundParser() {
  simdjson::dom::parser made;
  if (made.allocate(simdjson::SIMDJSON_PADDING, kMaxDocumentDepth)) throw std::bad_alloc();
  return made;
}

simdjson::dom::parser& fastParser() {
  thread_local simdjson::dom::parser parser = depthBoundParser();
  return parser;
}

// The member `key` of an object, as a document holds it: a repeated key's last value.
std::optional<simdjson::dom::element> memberOf(simdjson::dom::element value, std::string_view key) {
  std::optional<simdjson::dom::element> found;
  simdjson::dom::object object;
  if (value.get(object) == simdjson::SUCCESS)
    for (simdjson::dom::key_value_pair member : object)
      if (member.key == key) found = member.value;
  return found;
}

}  // namespace

ResourceDocument parseDocument(std::string_view text) {
  simdjson::dom::element root;
  if (fastParser().parse(text.data(), text.size()).get(root) == simdjson::SUCCESS) {
    TapeReader reader;
    ResourceDocument document = reader.read(root);
    if (!reader.sawZero() || !mayHoldMinusZero(text)) return document;
  }
  return referenceParse(text);
}

JsonView::JsonView(const simdjson::dom::element& element) {
  static_assert(sizeof(element) == sizeof(element_) &&
                std::is_trivially_copyable_v<simdjson::dom::element>);
  std::memcpy(element_, &element, sizeof(element_));
}

simdjson::dom::element JsonView::element() const {
  simdjson::dom::element out;
  std::memcpy(&out, element_, sizeof(element_));
  return out;
}

void JsonView::forEach(const std::function<void(const JsonView&)>& each) const {
  simdjson::dom::element value = element();
  switch (value.type()) {
    case element_type::ARRAY: {
      simdjson::dom::array array = value.get_array().value_unsafe();
      for (simdjson::dom::element item : array) each(JsonView(item));
      break;
    }
    case element_type::OBJECT: {
      simdjson::dom::object object = value.get_object().value_unsafe();
      for (simdjson::dom::key_value_pair member : object) each(JsonView(member.value));
      break;
    }
    case element_type::NULL_VALUE:
      break;
    default:
      each(*this);
  }
}

ResourceDocument JsonView::document() const { return TapeReader().read(element()); }

bool JsonView::isArray() const { return element().type() == element_type::ARRAY; }

bool has(const JsonView& view, std::string_view key) {
  return memberOf(view.element(), key).has_value();
}

JsonView at(const JsonView& view, std::string_view key) {
  std::optional<simdjson::dom::element> member = memberOf(view.element(), key);
  if (!member) throw MissingKeyError(std::string(key));
  return JsonView(*member);
}

std::string_view stringOf(const JsonView& value, std::string_view key) {
  std::string_view text;
  if (value.element().get(text) != simdjson::SUCCESS)
    throw ArgumentTypeError(std::string(key), "a string", value.document());
  return text;
}

void findMembers(const JsonView& view, std::span<const std::string_view> keys,
                 std::span<std::optional<JsonView>> found) {
  for (std::optional<JsonView>& each : found) each.reset();
  simdjson::dom::object object;
  if (view.element().get(object) != simdjson::SUCCESS) return;
  // Most members are none of the keys, and their length alone says so.
  auto lengthBit = [](std::size_t length) {
    return std::uint64_t{1} << std::min<std::size_t>(length, 63);
  };
  std::uint64_t lengths = 0;
  std::size_t count = std::min(keys.size(), found.size());
  for (std::size_t i = 0; i < count; ++i) lengths |= lengthBit(keys[i].size());
  for (simdjson::dom::key_value_pair member : object) {
    if (!(lengths & lengthBit(member.key.size()))) continue;
    for (std::size_t i = 0; i < count; ++i)
      if (member.key == keys[i]) found[i] = JsonView(member.value);
  }
}

struct JsonText::Parsed {
  std::string text;
  simdjson::dom::document document;
  JsonView root{simdjson::dom::element()};
};

JsonText::JsonText(std::string text) : parsed_(std::make_unique<Parsed>()) {
  static_assert(kJsonTextPadding >= simdjson::SIMDJSON_PADDING);
  parsed_->text = std::move(text);
  const std::string& kept = parsed_->text;
  // Into a document of its own, not the parser's: the parser's next parse, of the next answer,
  // may come before this text is read, and on another thread.
  thread_local simdjson::dom::parser parser = depthBoundParser();
  bool padded = kept.capacity() - kept.size() >= simdjson::SIMDJSON_PADDING;
  simdjson::dom::element root;
  simdjson::error_code code =
      parser.parse_into_document(parsed_->document, kept.data(), kept.size(), !padded).get(root);
  if (code != simdjson::SUCCESS) {
    // Refused text fails here as parseDocument says it. What only the fast parser refuses (an
    // integer beyond 64 bits, read as a double) is read in the form its document is written in.
    std::string written = jsonText(referenceParse(kept));
    code = parser.parse_into_document(parsed_->document, written.data(), written.size()).get(root);
    if (code != simdjson::SUCCESS) throw DocumentError(simdjson::error_message(code));
  }
  parsed_->root = JsonView(root);
}

JsonText::JsonText(JsonText&&) noexcept = default;
JsonText& JsonText::operator=(JsonText&&) noexcept = default;
JsonText::~JsonText() = default;

const std::string& JsonText::text() const { return parsed_->text; }

const JsonView& JsonText::root() const { return parsed_->root; }

ResourceDocument JsonText::documentWithout(std::string_view left) const {
  TapeReader reader;
  ResourceDocument document = reader.read(parsed_->root.element(), &left);
  if (!reader.sawZero() || !mayHoldMinusZero(parsed_->text)) return document;
  document = referenceParse(parsed_->text);
  if (document.is_object()) document.erase(std::string(left));
  return document;
}

ResourceDocument parseDocumentOrDiscarded(std::string_view text) {
  try {
    return parseDocument(text);
  } catch (const DocumentError&) {
    return ResourceDocument(ResourceDocument::value_t::discarded);
  }
}

std::string textOf(const ResourceDocument& value) {
  if (value.is_string()) return value.get_ref<const std::string&>();
  return jsonText(value);
}

std::string jsonText(const ResourceDocument& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
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
