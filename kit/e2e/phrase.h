#pragma once
// The verification phrase of one key agreement: three words and six digits that both ends
// derive from the shared secret, so two people can compare them and spot a substituted key.
//
// A plain value; made by Handshake::complete and held by the Channel. Any thread may read it.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cvl {

// Indexed by a 6-bit value; the order is part of the protocol (it is not quite alphabetical).
inline constexpr std::array<std::string_view, 64> WORDS = {
    "apple",  "amber",   "anchor",  "arrow",   "basil",   "beacon",  "birch",   "bison",
    "blaze",  "cabin",   "cactus",  "canyon",  "cedar",   "cobalt",  "comet",   "coral",
    "cotton", "cricket", "crimson", "delta",   "denim",   "ember",   "falcon",  "fable",
    "fjord",  "flint",   "garnet",  "ginger",  "glacier", "harbor",  "hazel",   "heron",
    "indigo", "ivory",   "jasmine", "jetty",   "kayak",   "kestrel", "lagoon",  "lantern",
    "lilac",  "maple",   "marble",  "meadow",  "nectar",  "nimbus",  "oasis",   "olive",
    "onyx",   "opal",    "orchid",  "pepper",  "quartz",  "quill",   "raven",   "saffron",
    "sienna", "spruce",  "tundra",  "umber",   "violet",  "walnut",  "willow",  "zephyr",
};

struct Phrase {
  std::vector<std::string> words;  // exactly three entries of WORDS
  std::string digits;              // exactly six decimal digits, zero-padded

  // The words joined by "-", then " / ", then the digits: "apple-raven-opal / 004217".
  std::string shortForm() const;

  // The phrase for the 8 verification bytes v: words from the low six bits of v[0], v[1],
  // v[2]; v[3] unused; digits = big-endian v[4..7] mod 1,000,000.
  static Phrase fromVerificationBytes(std::span<const uint8_t, 8> v);

  friend bool operator==(const Phrase&, const Phrase&) = default;
};

}  // namespace cvl
