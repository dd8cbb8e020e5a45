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

}  // namespace tolmi_gcp
