#include "kit/e2e/phrase.h"

#include <gtest/gtest.h>

#include "tests/e2e/e2e_test_support.h"

namespace cvl {
namespace {

Phrase phraseOf(const char* hex) {
  const Bytes v = fromHex(hex);
  return Phrase::fromVerificationBytes(std::span<const uint8_t, 8>(v));
}

TEST(Phrase, FromVerificationBytes) {
  struct Case {
    const char* bytes;
    const char* shortForm;
  };
  const Case cases[] = {
      {"0000000000000000", "apple-apple-apple / 000000"},
      {"ffffffffffffffff", "zephyr-zephyr-zephyr / 967295"},
      // Only the low six bits pick a word; the fourth byte is unused.
      {"40807f0000000000", "apple-apple-zephyr / 000000"},
      {"01162aff00000000", "amber-falcon-marble / 000000"},
      {"d7970100ffffffff", "fable-fable-amber / 967295"},
      // Digits are zero-padded to six places.
      {"0000000000000007", "apple-apple-apple / 000007"},
      {"00000000000f423f", "apple-apple-apple / 999999"},
      {"00000000000f4240", "apple-apple-apple / 000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const Phrase phrase = phraseOf(c.bytes);
    EXPECT_EQ(phrase.shortForm(), c.shortForm);
    EXPECT_EQ(phrase.words.size(), 3u);
    EXPECT_EQ(phrase.digits.size(), 6u);
  }
}

TEST(Phrase, MatchesIndependentDerivationOverTheWholeWordList) {
  // Together the fixture's entries use every index of WORDS, so the list and its order are
  // checked against a separate copy.
  const auto& cases = knownAnswers().at("phrases");
  ASSERT_FALSE(cases.empty());
  for (const auto& c : cases) {
    const std::string bytes = c.at("verificationBytes");
    SCOPED_TRACE(bytes);
    EXPECT_EQ(phraseOf(bytes.c_str()).shortForm(), c.at("phrase").get<std::string>());
  }
}

}  // namespace
}  // namespace cvl
