#include "tolmi_gcp/core/yaml_document.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {

namespace {

std::string where(const std::string& name, const YAML::Mark& mark) {
  if (mark.is_null()) return name;
  return name + ":" + std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1);
}

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }
bool isOctalDigit(char c) { return c >= '0' && c <= '7'; }
bool isHexDigit(char c) {
  return isDecimalDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// True when `text` is one or more characters that all pass `digit`.
bool allOf(std::string_view text, bool (*digit)(char)) {
  return !text.empty() && std::all_of(text.begin(), text.end(), digit);
}

std::string_view withoutSign(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  return text;
}

// Skips leading decimal digits; returns how many there were.
std::size_t skipDigits(std::string_view& text) {
  std::size_t count = 0;
  while (count < text.size() && isDecimalDigit(text[count])) ++count;
  text.remove_prefix(count);
  return count;
}

// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
bool isFloat(std::string_view text) {
  text = withoutSign(text);
  std::size_t whole = skipDigits(text);
  if (!text.empty() && text[0] == '.') {
    text.remove_prefix(1);
    if (skipDigits(text) == 0 && whole == 0) return false;
  } else if (whole == 0) {
    return false;
  }
  if (text.empty()) return true;
  if (text[0] != 'e' && text[0] != 'E') return false;
  text = withoutSign(text.substr(1));
  return allOf(text, isDecimalDigit);
}

// A plain scalar typed by the YAML 1.2 core schema. Matched by hand: a migration file has
// thousands of scalars, and std::regex took most of the time of loading one.
ResourceDocument typedScalar(const std::string& text) {
  if (text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL")
    return nullptr;
  if (text == "true" || text == "True" || text == "TRUE") return true;
  if (text == "false" || text == "False" || text == "FALSE") return false;
  auto integer = [&](std::string_view digits, int base) -> ResourceDocument {
    bool negative = !digits.empty() && digits[0] == '-';
    digits = withoutSign(digits);
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (ec != std::errc() || end != digits.data() + digits.size())
      return std::strtod(text.c_str(), nullptr);  // out of 64-bit range: keep it as a number
    if (!negative) {
      if (magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(magnitude);
      return magnitude;
    }
    if (magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1)
      return static_cast<std::int64_t>(0 - magnitude);
    return -static_cast<double>(magnitude);
  };
  std::string_view view = text;
  if (allOf(withoutSign(view), isDecimalDigit)) return integer(view, 10);
  if (view.starts_with("0o") && allOf(view.substr(2), isOctalDigit))
    return integer(view.substr(2), 8);
  if (view.starts_with("0x") && allOf(view.substr(2), isHexDigit))
    return integer(view.substr(2), 16);
  if (isFloat(view)) return std::strtod(text.c_str(), nullptr);
  // Everything else is text, .inf and .nan included: JSON has no infinities or NaN, and such
  // values must not become null.
  return text;
}

// Passes over a document's events without keeping anything.
class SkippingHandler : public YAML::EventHandler {
 public:
  void OnDocumentStart(const YAML::Mark&) override {}
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
  void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                const std::string&) override {}
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                       YAML::EmitterStyle::value) override {}
  void OnSequenceEnd() override {}
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  YAML::EmitterStyle::value) override {}
  void OnMapEnd() override {}
};

// YAML::Load reads the first document only, so the rest of a file after a stray "---" would be
// silently ignored. (YAML::LoadAll is no way to count them: it loops forever on some input.)
void requireOneDocument(const std::string& text, const std::string& name) {
  std::istringstream stream(text);
  YAML::Parser parser(stream);
  SkippingHandler skip;
  if (parser.HandleNextDocument(skip) && parser.HandleNextDocument(skip))
    throw ConfigError(name + ": holds more than one document; one is expected (a stray '---'?)");
}

struct Source {
  std::string_view text;  // without a byte-order mark: yaml-cpp's positions do not count it
  const std::string& name;
  std::size_t values = 0;  // converted so far

  // Aliases repeating aliases ("billion laughs") make a few lines of text expand to billions of
  // values; text without such nesting holds fewer values than characters.
  std::size_t maxValues() const { return std::max<std::size_t>(10000, 4 * text.size()); }
};

// yaml-cpp accepts a quoted scalar whose closing quote is missing and lets it run to the end of the
// file, silently swallowing every key after it; such a file is refused instead.
void requireClosingQuote(const YAML::Node& node, const Source& source) {
  const YAML::Mark mark = node.Mark();
  if (mark.is_null() || mark.pos < 0 || static_cast<std::size_t>(mark.pos) >= source.text.size())
    return;
  std::string_view text = source.text;
  const char quote = text[mark.pos];
  if (quote != '\'' && quote != '"') return;
  for (std::size_t i = mark.pos + 1; i < text.size(); ++i) {
    if (quote == '"' && text[i] == '\\') {
      ++i;  // an escaped character, possibly a quote
    } else if (text[i] == quote) {
      if (quote == '"' || i + 1 >= text.size() || text[i + 1] != '\'') return;
      ++i;  // '' is a quote inside a single-quoted scalar
    }
  }
  throw ConfigError(where(source.name, mark) + ": quoted text has no closing " +
                    (quote == '"' ? "double" : "single") + " quote");
}

ResourceDocument convert(const YAML::Node& node, Source& source, int depth) {
  const std::string& name = source.name;
  if (depth > 200) throw ConfigError(where(name, node.Mark()) + ": nesting deeper than 200 levels");
  if (++source.values > source.maxValues())
    throw ConfigError(name + ": more than " + std::to_string(source.maxValues()) +
                      " values once aliases are expanded (aliases repeating aliases?)");
  switch (node.Type()) {
    case YAML::NodeType::Null:
    case YAML::NodeType::Undefined:
      return nullptr;
    case YAML::NodeType::Scalar:
      // yaml-cpp tags quoted scalars "!" and plain ones "?".
      if (node.Tag() == "!") {
        requireClosingQuote(node, source);
        return node.Scalar();
      }
      if (node.Tag() == "?" || node.Tag().empty()) return typedScalar(node.Scalar());
      return node.Scalar();
    case YAML::NodeType::Sequence: {
      ResourceDocument array = ResourceDocument::array();
      for (const YAML::Node& item : node) array.push_back(convert(item, source, depth + 1));
      return array;
    }
    case YAML::NodeType::Map: {
      ResourceDocument object = ResourceDocument::object();
      for (const auto& entry : node) {
        if (!entry.first.IsScalar())
          throw ConfigError(where(name, entry.first.Mark()) + ": mapping keys must be scalars");
        requireClosingQuote(entry.first, source);
        const std::string& key = entry.first.Scalar();
        if (object.contains(key))
          throw ConfigError(where(name, entry.first.Mark()) + ": duplicate key '" + key + "'");
        object[key] = convert(entry.second, source, depth + 1);
      }
      return object;
    }
  }
  return nullptr;
}

// The code unit of the JSON escape "\uXXXX" at `at`, or -1 when there is none.
long codeUnitAt(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  std::string_view hex = text.substr(at + 2, 4);
  if (!allOf(hex, isHexDigit)) return -1;
  return std::stol(std::string(hex), nullptr, 16);
}

// JSON writers (Python's json.dump among them) escape a character beyond U+FFFF as a UTF-16
// surrogate pair, "\ud83d\ude00", which YAML's escapes do not have: yaml-cpp refuses each half.
// In a JSON text, where every quote delimits a string, each pair becomes the one escape
// "\U0001f600". Any other text is returned as it is.
std::string withJoinedSurrogates(const std::string& text) {
  if (text.find("\\u") == std::string::npos || !ResourceDocument::accept(text)) return text;
  std::string out;
  out.reserve(text.size());
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') inString = !inString;
    if (!inString || text[i] != '\\') {
      out += text[i];
      continue;
    }
    long high = codeUnitAt(text, i), low = codeUnitAt(text, i + 6);
    if (high >= 0xD800 && high <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
      char escape[11];
      std::snprintf(escape, sizeof escape, "\\U%08lx",
                    0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
      out += escape;
      i += 11;
    } else {
      out.append(text, i, 2);  // an escape, perhaps of a quote
      ++i;
    }
  }
  return out;
}

}  // namespace

ResourceDocument parseYamlFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(path + ": cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ConfigError(path + ": read error");
  return parseYamlText(text.str(), path);
}

ResourceDocument parseYamlText(const std::string& text, const std::string& name) {
  // yaml-cpp reads a NUL byte as a bad escape and says so with the raw byte in the message.
  if (std::size_t nul = text.find('\0'); nul != std::string::npos)
    throw ConfigError(name + ":" +
                      std::to_string(std::count(text.begin(), text.begin() + nul, '\n') + 1) +
                      ": holds a NUL byte; a YAML file is text");
  try {
    const std::string yaml = withJoinedSurrogates(text);
    YAML::Node root = YAML::Load(yaml);
    requireOneDocument(yaml, name);
    std::string_view body = yaml;
    if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
    Source source{body, name};
    return convert(root, source, 0);
  } catch (const YAML::DeepRecursion& failure) {
    throw ConfigError(where(name, failure.mark) + ": nesting deeper than " +
                      std::to_string(failure.depth()) + " levels");
  } catch (const YAML::Exception& failure) {
    throw ConfigError(where(name, failure.mark) + ": " + failure.msg);
  }
}

}  // namespace tolmi_gcp
