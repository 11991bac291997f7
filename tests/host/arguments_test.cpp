// Hex and numbers as scripts and the command line write them: what is
// accepted, what it means, and the one-line reason for what is not.
#include "host/arguments.h"

#include <gtest/gtest.h>

#include "host/hex.h"

namespace {

using host::Bytes;

TEST(Hex, ParsesPairsOfEitherCase) {
  const struct {
    const char* text;
    Bytes bytes;
  } cases[] = {
      {"", {}},
      {"00", {0x00}},
      {"3B8001", {0x3B, 0x80, 0x01}},
      {"a0fF", {0xA0, 0xFF}},
  };
  for (const auto& c : cases) {
    std::string error;
    const std::optional<Bytes> bytes = host::ParseHex(c.text, 16, &error);
    ASSERT_TRUE(bytes) << c.text << ": " << error;
    EXPECT_EQ(*bytes, c.bytes) << c.text;
  }
}

TEST(Hex, RefusesWithAReason) {
  const struct {
    const char* text;
    std::size_t max;
    const char* error;
  } cases[] = {
      {"3B8", 16, "'3B8' is not hexadecimal: it has an odd number of digits"},
      {"3B 80", 16, "'3B 80' is not hexadecimal: character 3 is not a digit 0-9 or A-F"},
      {"0x3B", 16, "'0x3B' is not hexadecimal: character 2 is not a digit 0-9 or A-F"},
      {"3G", 16, "'3G' is not hexadecimal: character 2 is not a digit 0-9 or A-F"},
      {"010203", 2, "3 bytes of hexadecimal, at most 2 are accepted here"},
      // A long argument is quoted by its start only.
      {"0123456789ABCDEF0123456789ABCDEFZ", 64,
       "'0123456789ABCDEF01234567...' is not hexadecimal: character 33 is not a digit 0-9 or A-F"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(host::ParseHex(c.text, c.max, &error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

TEST(Hex, WritesUpperCasePairs) {
  const Bytes bytes{0x3B, 0x0A, 0xFF};
  EXPECT_EQ(host::ToHex(bytes), "3B0AFF");
  EXPECT_EQ(host::ToSpacedHex(bytes), "3B 0A FF");
  EXPECT_EQ(host::ToHex(Bytes{}), "");
  EXPECT_EQ(host::ToSpacedHex(Bytes{}), "");
}

TEST(Numbers, ReadsDecimalAndHexUpToTheirLimit) {
  const struct {
    const char* text;
    std::uint64_t max;
    std::optional<std::uint64_t> value;
    const char* error;
  } cases[] = {
      {"0", 10, 0, ""},
      {"250", 1000, 250, ""},
      {"0x310004", 0xFFFFFFFF, 0x310004, ""},
      {"0XfF", 255, 255, ""},
      {"4294967295", 0xFFFFFFFF, 0xFFFFFFFF, ""},
      {"4294967296", 0xFFFFFFFF, std::nullopt, "'4294967296' is too large (at most 4294967295)"},
      {"9", 5, std::nullopt, "'9' is too large (at most 5)"},
      {"99999999999999999999999", 0xFFFFFFFF, std::nullopt,
       "'99999999999999999999999' is too large (at most 4294967295)"},
      {"", 10, std::nullopt, "a number is missing"},
      {"0x", 10, std::nullopt, "'0x' is not a number"},
      {"-1", 10, std::nullopt, "'-1' is not a number"},
      {"+1", 10, std::nullopt, "'+1' is not a number"},
      {"12ms", 100, std::nullopt, "'12ms' is not a number"},
      {"0x1G", 100, std::nullopt, "'0x1G' is not a number"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(host::ParseNumber(c.text, c.max, &error), c.value) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

}  // namespace
