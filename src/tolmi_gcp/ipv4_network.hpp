#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolmi_gcp {

// An IPv4 network "a.b.c.d/n": four decimals 0-255 and a length 0-32, none written with a leading
// zero, and no host bits set. One reading for the configuration, the library and the emulator.
struct Ipv4Network {
  std::uint32_t address = 0;  // host byte order
  int prefix = 32;

  enum class Fault { none, noLength, badLength, badAddress, hostBits };
  struct Parsed;

  // `text` read strictly; a bare address counts as a /32 only when `bareAddress` allows it.
  static Parsed parse(std::string_view text, bool bareAddress = false);
  std::string text() const;
  bool overlaps(const Ipv4Network& other) const;
  // Whether `inner` is this network or inside it: networks either nest or are apart.
  bool contains(const Ipv4Network& inner) const {
    return inner.prefix >= prefix && overlaps(inner);
  }
};

struct Ipv4Network::Parsed {
  Ipv4Network network;  // with Fault::hostBits, the network the text lies in
  Fault fault = Fault::none;

  bool ok() const { return fault == Fault::none; }
  // Why the text was refused ("has host bits set"), or "" when it was not.
  std::string reason() const;
};

}  // namespace tolmi_gcp
