#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/windows/system_error.h"
#include "platform/windows/utf16.h"
#include "under_wine.h"

namespace quorvex::platform::windows {
namespace {

struct CodeWithMessage {
  std::uint32_t code;
  const char* suffix;
};

class SystemMessageText : public ::testing::TestWithParam<CodeWithMessage> {};

// The text must be the system's message, one blank and the code, with the
// message's own line break gone (FormatMessageW ends every message with one).
TEST_P(SystemMessageText, KeepsTheMessageWithoutItsLineBreakBeforeTheCode) {
  const Error error = system_error(GetParam().code);
  ASSERT_FALSE(error.system_message().empty());
  EXPECT_EQ(error.system_message().find_first_of("\r\n"), std::string::npos) << error.system_message();
  EXPECT_NE(error.system_message().back(), ' ');
  EXPECT_EQ(error.text(), error.system_message() + GetParam().suffix);
}

INSTANTIATE_TEST_SUITE_P(KnownCodes, SystemMessageText,
                         ::testing::Values(CodeWithMessage{0x80070057, " (0x80070057)"},
                                           CodeWithMessage{0x80004005, " (0x80004005)"},
                                           CodeWithMessage{5, " (0x00000005)"},
                                           CodeWithMessage{1400, " (0x00000578)"}));

TEST(SystemMessageText, CodeWithoutMessageIsTheBracketedCodeAlone) {
  const Error error = system_error(0x8FFF1234);
  EXPECT_EQ(error.system_message(), "");
  EXPECT_EQ(error.text(), "(0x8FFF1234)");
}

// Media Foundation's codes are described from its own message table where
// the system has one (Windows); Wine has none, so the code stands alone.
TEST(SystemMessageText, MediaFoundationCodeIsDescribedWhereTheSystemCan) {
  const Error error = system_error(status::mf_e_transform_need_more_input);
  if (testing::under_wine()) {
    EXPECT_EQ(error.text(), "(0xC00D6D72)");
  } else {
    EXPECT_FALSE(error.system_message().empty());
    EXPECT_EQ(error.text(), error.system_message() + " (0xC00D6D72)");
  }
}

TEST(SystemMessageText, InstalledPlatformDescribesWithTheSystemMessage) {
  auto platform = create_native_platform();
  ASSERT_TRUE(platform.has_value()) << platform.error();
  EXPECT_EQ((*platform)->describe_status(0x80070057), describe_system_status(0x80070057));
  EXPECT_EQ((*platform)->describe_status(0x8FFF1234), "");
}

TEST(GuidConversion, RoundTripKeepsEveryField) {
  const Guid guid{0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
  const GUID native = to_native(guid);
  EXPECT_EQ(native.Data1, 0x01234567u);
  EXPECT_EQ(native.Data2, 0x89AB);
  EXPECT_EQ(native.Data3, 0xCDEF);
  EXPECT_EQ(native.Data4[0], 0xFE);
  EXPECT_EQ(native.Data4[7], 0x10);
  EXPECT_EQ(from_native(native), guid);
}

struct Utf16Case {
  const char* name;
  std::u16string utf16;
  std::string utf8;
};

class Utf16ToUtf8 : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16ToUtf8, ConvertsOrReplacesLoneSurrogates) {
  EXPECT_EQ(utf16_to_utf8(GetParam().utf16), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf16ToUtf8,
    ::testing::Values(Utf16Case{"ascii", u"abc", "abc"},
                      Utf16Case{"latin", u"\u00C9cran", "\xC3\x89" "cran"},
                      Utf16Case{"three_bytes", u"\u20AC", "\xE2\x82\xAC"},
                      Utf16Case{"pair", std::u16string{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
                      Utf16Case{"lone_high_at_end", std::u16string{u'a', 0xD83D}, "a\xEF\xBF\xBD"},
                      Utf16Case{"lone_low", std::u16string{0xDE00, u'b'}, "\xEF\xBF\xBD" "b"},
                      Utf16Case{"high_then_high",
                                std::u16string{0xD83D, 0xD83D, 0xDE00},
                                "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
                      Utf16Case{"embedded_zero", std::u16string{u'a', 0, u'b'}, std::string("a\0b", 3)}),
    [](const auto& info) { return std::string(info.param.name); });

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

class Utf8ToUtf16 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToUtf16, ConvertsOrReplacesMalformedBytes) {
  EXPECT_EQ(utf8_to_utf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8ToUtf16,
    ::testing::Values(Utf8Case{"ascii", "Windows.Foundation", u"Windows.Foundation"},
                      Utf8Case{"pair", "\xF0\x9F\x98\x80", std::u16string{0xD83D, 0xDE00}},
                      Utf8Case{"invalid_lead", "a\xFF" "b", u"a\uFFFDb"},
                      Utf8Case{"overlong", "\xC0\x80", u"\uFFFD\uFFFD"},
                      Utf8Case{"truncated", "\xE2\x82", u"\uFFFD\uFFFD"},
                      Utf8Case{"encoded_surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                      Utf8Case{"past_unicode", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WideText, CopiesEveryUnitBothWays) {
  const std::u16string text{u'x', 0xD83D, 0xDE00, 0};
  EXPECT_EQ(from_wide(to_wide(text)), text);
  EXPECT_EQ(to_wide(text).size(), text.size());
}

}  // namespace
}  // namespace quorvex::platform::windows
