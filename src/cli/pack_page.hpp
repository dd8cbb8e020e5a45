#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tolmi_gcp::cli {

// A table cell: lines of text, or a command shown as code.
struct Cell {
  std::vector<std::string> lines;
  bool code = false;

  Cell(std::string text, bool isCode = false) : lines{std::move(text)}, code(isCode) {}
  Cell(const char* text) : lines{text} {}
  Cell(std::vector<std::string> text) : lines(std::move(text)) {}
};
using Rows = std::vector<std::vector<Cell>>;

// A document of the change pack, written once as HTML and once as Markdown; every text given to
// it is escaped for its format.
class Page {
 public:
  virtual ~Page() = default;
  virtual void heading(int level, const std::string& text) = 0;
  virtual void paragraph(const std::string& text) = 0;
  // Problems that stand out from the page.
  virtual void alert(const std::string& title, const std::vector<std::string>& items) = 0;
  virtual void list(const std::vector<std::string>& items) = 0;
  virtual void table(const std::vector<std::string>& head, const Rows& rows) = 0;
  // `svg` inlined into the HTML page, `file` linked from the Markdown.
  virtual void picture(const std::string& caption, const std::string& file,
                       const std::string& svg) = 0;
  virtual void code(const std::string& text) = 0;
  virtual std::string finished() = 0;
};

// A self-contained HTML page: styles in it, pictures inlined.
std::unique_ptr<Page> htmlPage(const std::string& title);
// Markdown, pictures linked as files.
std::unique_ptr<Page> markdownPage();

}  // namespace tolmi_gcp::cli
