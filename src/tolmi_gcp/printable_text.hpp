#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text from the API and from files made safe for a terminal, a log line and a JSON string.

namespace tolmi_gcp {

// `text` as one printable line: bytes that are not UTF-8 become U+FFFD, a newline and a carriage
// return "\n" and "\r", the other control characters (ESC, NUL, DEL, C1) "\x1b", "\u009b". Tabs
// and every other character stay as they are.
std::string printableText(std::string_view text);

// The longest start of `text` of at most `maxBytes` bytes that does not end inside a UTF-8
// character.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

}  // namespace tolmi_gcp
