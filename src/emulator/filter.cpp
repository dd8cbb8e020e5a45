#include "emulator/filter.hpp"

#include <re2/re2.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "emulator/store.hpp"

namespace tolmi_gcp::emulator {

struct Filter::Node {
  enum class Kind { kAll, kAnd, kOr, kNot, kCompare, kRegex } kind = Kind::kAll;
  std::vector<std::shared_ptr<const Node>> children;
  std::vector<std::string> field;  // dotted path, split
  std::string op;                  // = != < > <= >= : eq ne
  std::string value;
  std::shared_ptr<const RE2> pattern;
};

namespace {

using NodePtr = std::shared_ptr<const Filter::Node>;
using Kind = Filter::Node::Kind;

// Parentheses and NOTs nest this deep at most: the parser and the tree recurse once a level.
constexpr int kMaxNesting = 256;
// A refused filter is quoted up to this length.
constexpr std::size_t kQuotedLength = 200;

// The value at a dotted field path, null when missing. False when the path meets a list: the API
// matches no term on a repeated field, whatever its operator.
bool valueAt(const ResourceDocument& doc, const std::vector<std::string>& path, std::size_t at,
             const ResourceDocument*& out) {
  if (doc.is_array()) return false;
  if (at == path.size()) {
    out = &doc;
    return true;
  }
  if (!doc.is_object()) return true;
  auto it = doc.find(path[at]);
  return it == doc.end() || valueAt(*it, path, at + 1, out);
}

bool numberOf(const std::string& text, double& number) {
  if (text.empty()) return false;
  char* end = nullptr;
  number = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size();
}

bool sameResource(const std::string& field, const std::string& value) {
  if (field == value) return true;
  auto fieldPath = field.find("/projects/");
  if (fieldPath == std::string::npos) return false;
  if (value.find('/') == std::string::npos) return field.ends_with("/" + value);
  auto valuePath = value.find("projects/");
  return valuePath != std::string::npos &&
         field.compare(fieldPath + 1, std::string::npos, value, valuePath) == 0;
}

bool compare(const ResourceDocument& field, const std::string& op, const std::string& value) {
  if (field.is_object() || field.is_null()) return false;
  std::string text = textOf(field);
  if (op == ":") return sameResource(text, value);
  double left = 0;
  double right = 0;
  bool numeric = field.is_number() && numberOf(value, right);
  if (numeric) left = field.get<double>();
  int order = numeric ? (left < right ? -1 : left > right ? 1 : 0) : text.compare(value);
  if (op == "=") return order == 0;
  if (op == "<") return order < 0;
  if (op == ">") return order > 0;
  if (op == "<=") return order <= 0;
  return order >= 0;  // ">="
}

bool evaluate(const Filter::Node& node, const ResourceDocument& resource) {
  switch (node.kind) {
    case Kind::kAll:
      return true;
    case Kind::kAnd:
      for (const auto& child : node.children)
        if (!evaluate(*child, resource)) return false;
      return true;
    case Kind::kOr:
      for (const auto& child : node.children)
        if (evaluate(*child, resource)) return true;
      return false;
    case Kind::kNot:
      return !evaluate(*node.children[0], resource);
    case Kind::kRegex: {
      const ResourceDocument* value = nullptr;
      if (!valueAt(resource, node.field, 0, value)) return false;
      // A missing field reads as empty text.
      bool any = value ? !value->is_object() && RE2::FullMatch(textOf(*value), *node.pattern)
                       : RE2::FullMatch("", *node.pattern);
      return node.op == "eq" ? any : !any;
    }
    case Kind::kCompare: {
      const ResourceDocument* value = nullptr;
      if (!valueAt(resource, node.field, 0, value)) return false;
      if (node.op == ":" && node.value == "*") return value != nullptr;
      bool negate = node.op == "!=";
      bool any = value && compare(*value, negate ? "=" : node.op, node.value);
      return negate ? !any : any;
    }
  }
  return false;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  NodePtr parse() {
    skipBlanks();
    if (pos_ == text_.size()) return std::make_shared<Filter::Node>();
    NodePtr root = conjunction();
    if (pos_ != text_.size()) fail("unexpected '" + std::string(text_.substr(pos_, 10)) + "'");
    return root;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    std::string quoted(text_.substr(0, kQuotedLength));
    if (text_.size() > kQuotedLength) quoted += "...";
    throw ApiError(400, "invalid",
                   "Invalid value for field 'filter': '" + quoted + "'. " + why + ".");
  }

  void skipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }

  bool keyword(std::string_view word) {
    skipBlanks();
    if (text_.substr(pos_, word.size()) != word) return false;
    std::size_t after = pos_ + word.size();
    if (after < text_.size() && text_[after] != ' ' && text_[after] != '(') return false;
    pos_ = after;
    return true;
  }

  // Terms side by side, or joined by AND, are all required.
  NodePtr conjunction() {
    auto node = std::make_shared<Filter::Node>();
    node->kind = Kind::kAnd;
    while (true) {
      skipBlanks();
      if (pos_ == text_.size() || text_[pos_] == ')') break;
      if (!node->children.empty() && keyword("AND")) noteExplicit();
      node->children.push_back(disjunction());
    }
    if (node->children.empty()) fail("an empty expression");
    return node->children.size() == 1 ? node->children[0] : node;
  }

  NodePtr disjunction() {
    NodePtr first = term();
    if (!keyword("OR")) return first;
    noteExplicit();
    auto node = std::make_shared<Filter::Node>();
    node->kind = Kind::kOr;
    node->children.push_back(first);
    do node->children.push_back(term());
    while (keyword("OR"));
    return node;
  }

  NodePtr term() {
    skipBlanks();
    if (pos_ < text_.size() && text_[pos_] == '(') {
      ++pos_;
      enter();
      NodePtr inner = conjunction();
      if (pos_ == text_.size() || text_[pos_] != ')') fail("a '(' is not closed");
      ++pos_;
      --depth_;
      return inner;
    }
    if (keyword("NOT")) {
      noteExplicit();
      enter();
      auto node = std::make_shared<Filter::Node>();
      node->kind = Kind::kNot;
      node->children.push_back(term());
      --depth_;
      return node;
    }
    return comparison();
  }

  void enter() {
    if (++depth_ > kMaxNesting)
      fail("parentheses and NOT nest more than " + std::to_string(kMaxNesting) + " levels deep");
  }

  NodePtr comparison() {
    auto node = std::make_shared<Filter::Node>();
    std::size_t start = pos_;
    while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) ||
                                   text_[pos_] == '.' || text_[pos_] == '_'))
      ++pos_;
    if (pos_ == start)
      fail("expected a field name at '" + std::string(text_.substr(pos_, 10)) + "'");
    std::string_view path = text_.substr(start, pos_ - start);
    for (std::size_t dot = 0; dot != std::string_view::npos;) {
      std::size_t next = path.find('.', dot);
      node->field.emplace_back(path.substr(dot, next - dot));
      dot = next == std::string_view::npos ? next : next + 1;
    }
    skipBlanks();
    if (keyword("eq") || keyword("ne")) {
      node->kind = Kind::kRegex;
      node->op = std::string(text_.substr(pos_ - 2, 2));
      noteForm(true);
      skipBlanks();
      node->value = value(true);
      RE2::Options options;
      options.set_log_errors(false);
      auto pattern = std::make_shared<RE2>(node->value, options);
      if (!pattern->ok()) fail("bad regular expression '" + node->value + "': " + pattern->error());
      node->pattern = pattern;
      return node;
    }
    for (std::string_view op : {"!=", "<=", ">=", "=", "<", ">", ":"})
      if (text_.substr(pos_, op.size()) == op) {
        node->op = std::string(op);
        pos_ += op.size();
        break;
      }
    if (node->op.empty()) fail("expected an operator after '" + std::string(path) + "'");
    node->kind = Kind::kCompare;
    noteForm(false);
    skipBlanks();
    node->value = value(false);
    return node;
  }

  // A quoted text, or a bare one up to a blank or ')' (the regex form: up to ')' or the end).
  std::string value(bool regex) {
    if (pos_ < text_.size() && (text_[pos_] == '"' || text_[pos_] == '\'')) {
      char quote = text_[pos_++];
      std::string out;
      while (pos_ < text_.size() && text_[pos_] != quote) {
        // Keep backslashes of regular expressions; drop the one before a quote character.
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size() && text_[pos_ + 1] == quote) ++pos_;
        out += text_[pos_++];
      }
      if (pos_ == text_.size()) fail("a quoted value is not closed");
      ++pos_;
      return out;
    }
    std::size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ')' && (regex || text_[pos_] != ' ')) ++pos_;
    std::string out(text_.substr(start, pos_ - start));
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.empty()) fail("a value is missing");
    return out;
  }

  void noteForm(bool regex) {
    if ((regex && sawOperators_) || (!regex && sawRegex_))
      fail("the 'eq'/'ne' form cannot be mixed with comparison operators");
    (regex ? sawRegex_ : sawOperators_) = true;
    if (regex && sawKeywords_) fail("AND, OR and NOT cannot be used with 'eq'/'ne' terms");
  }

  void noteExplicit() {
    sawKeywords_ = true;
    if (sawRegex_) fail("AND, OR and NOT cannot be used with 'eq'/'ne' terms");
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  bool sawRegex_ = false;
  bool sawOperators_ = false;
  bool sawKeywords_ = false;
};

}  // namespace

Filter::Filter(std::string_view text) : root_(Parser(text).parse()) {}

bool Filter::matches(const ResourceDocument& resource) const { return evaluate(*root_, resource); }

}  // namespace tolmi_gcp::emulator
