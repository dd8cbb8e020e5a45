#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace simdjson::dom {
class element;
}

namespace tolmi_gcp {

// One value of a JsonText, read in place: a document is built only when asked for. Valid while its
// JsonText lives.
class JsonView {
 public:
  // Each element as a document's range-for gives them: an array's items, an object's values,
  // nothing for null, the value itself otherwise.
  void forEach(const std::function<void(const JsonView&)>& each) const;
  ResourceDocument document() const;
  bool isArray() const;

 private:
  friend class JsonText;
  friend bool has(const JsonView& view, std::string_view key);
  friend JsonView at(const JsonView& view, std::string_view key);
  friend std::string_view stringOf(const JsonView& value, std::string_view key);
  friend void findMembers(const JsonView& view, std::span<const std::string_view> keys,
                          std::span<std::optional<JsonView>> found);
  explicit JsonView(const simdjson::dom::element& element);
  simdjson::dom::element element() const;

  // A simdjson::dom::element by value: users of this header need not see simdjson.
  alignas(void*) unsigned char element_[2 * sizeof(void*)];
};

// has and at as for a document, with the same failures.
bool has(const JsonView& view, std::string_view key);
JsonView at(const JsonView& view, std::string_view key);
// The string `value` is, or the ArgumentTypeError of stringAt for a member `key` that is not one.
std::string_view stringOf(const JsonView& value, std::string_view key);
// The members `keys` of an object, read in one pass over it: each found[i] is keys[i]'s value (a
// repeated key's last, as at gives), or empty. Nothing is found in what is not an object.
void findMembers(const JsonView& view, std::span<const std::string_view> keys,
                 std::span<std::optional<JsonView>> found);

// Room past a text's end (within its capacity) that lets JsonText parse it where it lies.
inline constexpr std::size_t kJsonTextPadding = 64;

// A JSON text parsed once and not built into a document, for the large answers of which a few
// members are read. It owns the text and its parse, so it can be handed to another thread.
class JsonText {
 public:
  // Throws DocumentError for text that parseDocument refuses; what it accepts reads as its
  // document. A text whose capacity leaves kJsonTextPadding past its end is parsed without a copy.
  explicit JsonText(std::string text);
  JsonText(JsonText&&) noexcept;
  JsonText& operator=(JsonText&&) noexcept;
  ~JsonText();

  const std::string& text() const;
  const JsonView& root() const;
  // The root object's members but `left`, built into a document as parseDocument builds them.
  ResourceDocument documentWithout(std::string_view left) const;

 private:
  struct Parsed;
  std::unique_ptr<Parsed> parsed_;
};

}  // namespace tolmi_gcp
