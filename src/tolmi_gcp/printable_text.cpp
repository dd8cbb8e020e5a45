#include "tolmi_gcp/printable_text.hpp"

#include <cstdint>
#include <cstdio>

namespace tolmi_gcp {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text` (RFC 3629: no overlong
// forms, no surrogates, nothing past U+10FFFF) and its code point; 0 when there is none.
std::size_t sequenceAt(std::string_view text, std::uint32_t& codePoint) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
  if (length == 0 || lead > 0xf4 || text.size() < length) return 0;
  codePoint = lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(i) & 0x3f);
  }
  static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < kLeast[length] || codePoint > 0x10ffff ||
      (codePoint >= 0xd800 && codePoint <= 0xdfff))
    return 0;
  return length;
}

bool plain(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) return false;
  return true;
}

}  // namespace

std::string printableText(std::string_view text) {
  if (plain(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  while (!text.empty()) {
    std::uint32_t codePoint = 0;
    std::size_t length = sequenceAt(text, codePoint);
    char escaped[8];
    if (length == 0) {
      out += "\xef\xbf\xbd";  // U+FFFD for a byte that is not UTF-8
      length = 1;
    } else if (codePoint == '\n') {
      out += "\\n";
    } else if (codePoint == '\r') {
      out += "\\r";
    } else if (codePoint == '\t' ||
               (codePoint >= 0x20 && codePoint != 0x7f && (codePoint < 0x80 || codePoint > 0x9f))) {
      out.append(text.substr(0, length));
    } else {
      // The other C0 and C1 controls, DEL: ESC and CSI start terminal sequences, NUL ends C text.
      std::snprintf(escaped, sizeof escaped, codePoint < 0x80 ? "\\x%02x" : "\\u%04x",
                    static_cast<unsigned>(codePoint));
      out += escaped;
    }
    text.remove_prefix(length);
  }
  return out;
}

std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = maxBytes;
  // Back to the start of the character the cut falls in.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80 && maxBytes - end < 3)
    --end;
  return text.substr(0, end);
}

}  // namespace tolmi_gcp
