#pragma once

// Helpers the library, the emulator and the tests share but a library user does not need; not
// installed.

#include <optional>
#include <string>
#include <string_view>

namespace tolmi_gcp {

// RFC 3986 percent-encoding of everything but the unreserved characters.
std::string percentEncode(std::string_view text);

// True for an http or https URL whose host is localhost, 127.0.0.0/8 or [::1]: traffic that never
// leaves the machine, so plain HTTP cannot expose what it carries.
bool isLoopbackUrl(std::string_view url);

// Base64 with the URL-safe alphabet and no padding, as JWTs use it. Decoding returns nullopt for
// text that is not such base64.
std::string base64UrlEncode(std::string_view bytes);
std::optional<std::string> base64UrlDecode(std::string_view text);

// `text` as one printable line: bytes that are not UTF-8 become U+FFFD, a newline and a carriage
// return "\n" and "\r", the other control characters (ESC, NUL, DEL, C1) "\x1b", "\u009b". Tabs
// and every other character stay as they are.
std::string printableText(std::string_view text);

// The longest start of `text` of at most `maxBytes` bytes that does not end inside a UTF-8
// character.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

}  // namespace tolmi_gcp
