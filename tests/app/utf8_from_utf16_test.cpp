#include "app/utf8_from_utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvex::app {
namespace {

struct Utf16Case {
  std::u16string utf16;
  std::string utf8;
};

class Utf8FromUtf16 : public testing::TestWithParam<Utf16Case> {};

TEST_P(Utf8FromUtf16, EncodesEveryCodePointAndReplacesLoneSurrogates) {
  EXPECT_EQ(utf8_from_utf16(GetParam().utf16), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8FromUtf16,
    testing::Values(Utf16Case{u"", ""}, Utf16Case{u"--window-title", "--window-title"},
                    Utf16Case{std::u16string(1, u'\0') + u"a", std::string(1, '\0') + "a"},
                    Utf16Case{u"\u007F\u0080\u07FF\u0800", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
                    Utf16Case{u"caf\u00E9 \u20AC \uFFFF", "caf\xC3\xA9 \xE2\x82\xAC \xEF\xBF\xBF"},
                    // Surrogate pairs: the first and last supplementary code points.
                    Utf16Case{u"\U00010000\U0010FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
                    Utf16Case{u"\U0001F600", "\xF0\x9F\x98\x80"},
                    // Lone surrogates: at the end, alone, reversed, twice high.
                    Utf16Case{u"a" + std::u16string(1, char16_t{0xD83D}), "a\xEF\xBF\xBD"},
                    Utf16Case{std::u16string(1, char16_t{0xDE00}) + u"b", "\xEF\xBF\xBD" "b"},
                    Utf16Case{std::u16string{char16_t{0xDE00}, char16_t{0xD83D}}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
                    Utf16Case{std::u16string{char16_t{0xD83D}, char16_t{0xD83D}, char16_t{0xDE00}},
                              "\xEF\xBF\xBD\xF0\x9F\x98\x80"}));

}  // namespace
}  // namespace quorvex::app
