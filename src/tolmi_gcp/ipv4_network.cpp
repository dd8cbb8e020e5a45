#include "tolmi_gcp/ipv4_network.hpp"

#include <algorithm>
#include <optional>

namespace tolmi_gcp {

namespace {

// A decimal in 0..max written without a leading zero.
std::optional<std::uint32_t> parseDecimal(std::string_view text, std::uint32_t max) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> parseDottedQuad(std::string_view text) {
  std::uint32_t address = 0;
  for (int octet = 0; octet < 4; ++octet) {
    std::size_t dot = octet < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    std::optional<std::uint32_t> value = parseDecimal(text.substr(0, dot), 255);
    if (!value) return std::nullopt;
    address = (address << 8) | *value;
    text.remove_prefix(octet < 3 ? dot + 1 : dot);
  }
  return address;
}

std::uint32_t hostMask(int prefix) { return prefix == 32 ? 0 : ~std::uint32_t{0} >> prefix; }

}  // namespace

Ipv4Network::Parsed Ipv4Network::parse(std::string_view text, bool bareAddress) {
  std::size_t slash = text.find('/');
  Parsed parsed;
  if (slash == std::string_view::npos && !bareAddress) return {{}, Fault::noLength};
  if (slash != std::string_view::npos) {
    std::optional<std::uint32_t> length = parseDecimal(text.substr(slash + 1), 32);
    if (!length) return {{}, Fault::badLength};
    parsed.network.prefix = static_cast<int>(*length);
  }
  std::optional<std::uint32_t> address = parseDottedQuad(text.substr(0, slash));
  if (!address) return {{}, Fault::badAddress};
  std::uint32_t host = hostMask(parsed.network.prefix);
  parsed.network.address = *address & ~host;
  if (*address & host) parsed.fault = Fault::hostBits;
  return parsed;
}

std::string Ipv4Network::text() const {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
         std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255) + "/" +
         std::to_string(prefix);
}

bool Ipv4Network::overlaps(const Ipv4Network& other) const {
  std::uint32_t shared = ~hostMask(std::min(prefix, other.prefix));
  return (address & shared) == (other.address & shared);
}

std::string Ipv4Network::Parsed::reason() const {
  switch (fault) {
    case Fault::none:
      return "";
    case Fault::noLength:
      return "has no /length";
    case Fault::badLength:
      return "has no valid prefix length";
    case Fault::badAddress:
      return "is not an IPv4 network";
    case Fault::hostBits:
      return "has host bits set";
  }
  return "";
}

}  // namespace tolmi_gcp
