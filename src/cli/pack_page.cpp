#include "cli/pack_page.hpp"

#include <string_view>

#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::cli {

namespace {

std::string htmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  return out;
}

class HtmlPage : public Page {
 public:
  explicit HtmlPage(const std::string& title) {
    out_ = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
           htmlEscaped(title) +
           "</title>\n<style>\n"
           "body{font-family:sans-serif;margin:2em;max-width:80em;color:#222}\n"
           "table{border-collapse:collapse;margin:0.5em 0 1em}\n"
           "th,td{border:1px solid #bbb;padding:0.25em 0.5em;text-align:left;"
           "vertical-align:top}\n"
           "th{background:#eee}\ncode,pre{background:#f4f4f4}\npre{padding:0.5em;"
           "overflow-x:auto}\n"
           ".alert{border:3px solid #c00;background:#fee;padding:0.5em 1em;margin:1em 0}\n"
           "figure{display:inline-block;vertical-align:top;margin:0 1em 1em 0}\n"
           "figure svg{max-width:100%;height:auto}\n"
           "</style>\n</head>\n<body>\n";
  }
  void heading(int level, const std::string& text) override {
    std::string tag = "h" + std::to_string(level);
    out_ += "<" + tag + ">" + htmlEscaped(text) + "</" + tag + ">\n";
  }
  void paragraph(const std::string& text) override { out_ += "<p>" + htmlEscaped(text) + "</p>\n"; }
  void alert(const std::string& title, const std::vector<std::string>& items) override {
    out_ += "<div class=\"alert\"><strong>" + htmlEscaped(title) + "</strong>\n";
    list(items);
    out_ += "</div>\n";
  }
  void list(const std::vector<std::string>& items) override {
    out_ += "<ul>\n";
    for (const std::string& item : items) out_ += "<li>" + htmlEscaped(item) + "</li>\n";
    out_ += "</ul>\n";
  }
  void table(const std::vector<std::string>& head, const Rows& rows) override {
    out_ += "<table>\n<tr>";
    for (const std::string& name : head) out_ += "<th>" + htmlEscaped(name) + "</th>";
    out_ += "</tr>\n";
    for (const std::vector<Cell>& row : rows) {
      out_ += "<tr>";
      for (const Cell& cell : row) {
        std::vector<std::string> lines;
        for (const std::string& line : cell.lines)
          lines.push_back(cell.code ? "<code>" + htmlEscaped(line) + "</code>" : htmlEscaped(line));
        out_ += "<td>" + joined(lines, "<br>") + "</td>";
      }
      out_ += "</tr>\n";
    }
    out_ += "</table>\n";
  }
  void picture(const std::string& caption, const std::string&, const std::string& svg) override {
    // Inlined from its <svg> element on: the prolog and doctype have no place in HTML.
    std::size_t start = svg.find("<svg");
    out_ += "<figure>" + (start == std::string::npos ? std::string() : svg.substr(start)) +
            "<figcaption>" + htmlEscaped(caption) + "</figcaption></figure>\n";
  }
  void code(const std::string& text) override {
    out_ += "<pre><code>" + htmlEscaped(text) + "</code></pre>\n";
  }
  std::string finished() override { return out_ + "</body>\n</html>\n"; }

 private:
  std::string out_;
};

// Markdown that reads as the text it holds: the characters Markdown would take as markup are
// escaped with a backslash.
std::string markdownEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string_view("\\`*_[]<>|#").find(c) != std::string_view::npos) out += '\\';
    out += c == '\n' ? ' ' : c;
  }
  return out;
}

// A code span that no backtick inside it can end.
std::string markdownCode(const std::string& text) {
  std::string fence = text.find('`') == std::string::npos ? "`" : "`` ";
  std::string close = fence == "`" ? "`" : " ``";
  return fence + text + close;
}

class MarkdownPage : public Page {
 public:
  void heading(int level, const std::string& text) override {
    out_ +=
        std::string(static_cast<std::size_t>(level), '#') + " " + markdownEscaped(text) + "\n\n";
  }
  void paragraph(const std::string& text) override { out_ += markdownEscaped(text) + "\n\n"; }
  void alert(const std::string& title, const std::vector<std::string>& items) override {
    out_ += "> **" + markdownEscaped(title) + "**\n>\n";
    for (const std::string& item : items) out_ += "> - " + markdownEscaped(item) + "\n";
    out_ += "\n";
  }
  void list(const std::vector<std::string>& items) override {
    for (const std::string& item : items) out_ += "- " + markdownEscaped(item) + "\n";
    out_ += "\n";
  }
  void table(const std::vector<std::string>& head, const Rows& rows) override {
    std::vector<std::string> names, rule;
    for (const std::string& name : head)
      names.push_back(markdownEscaped(name)), rule.push_back("---");
    out_ += "| " + joined(names, " | ") + " |\n| " + joined(rule, " | ") + " |\n";
    for (const std::vector<Cell>& row : rows) {
      std::vector<std::string> cells;
      for (const Cell& cell : row) {
        std::vector<std::string> lines;
        for (const std::string& line : cell.lines)
          lines.push_back(cell.code ? markdownCode(line) : markdownEscaped(line));
        cells.push_back(joined(lines, "; "));
      }
      out_ += "| " + joined(cells, " | ") + " |\n";
    }
    out_ += "\n";
  }
  void picture(const std::string& caption, const std::string& file, const std::string&) override {
    out_ += "![" + markdownEscaped(caption) + "](" + file + ")\n\n";
  }
  void code(const std::string& text) override { out_ += "```\n" + text + "\n```\n\n"; }
  std::string finished() override { return out_; }

 private:
  std::string out_;
};

}  // namespace

std::unique_ptr<Page> htmlPage(const std::string& title) {
  return std::make_unique<HtmlPage>(title);
}

std::unique_ptr<Page> markdownPage() { return std::make_unique<MarkdownPage>(); }

}  // namespace tolmi_gcp::cli
