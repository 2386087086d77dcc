#include "sender/window_share.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace quorvex::sender {
namespace {

struct CommandCase {
  std::string line;
  std::optional<ControlCommand> expected;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << testing::PrintToString(c.line); }

class ParseControlCommand : public testing::TestWithParam<CommandCase> {};

TEST_P(ParseControlCommand, AcceptsOnlyTheExactGrammar) {
  EXPECT_EQ(parse_control_command(GetParam().line), GetParam().expected);
}

const auto keyframe = ControlCommand::keyframe();
const std::optional<ControlCommand> none;

INSTANTIATE_TEST_SUITE_P(
    Words, ParseControlCommand,
    testing::Values(CommandCase{"KEYFRAME", keyframe}, CommandCase{"KEYFRAME\n", keyframe},
                    CommandCase{"   KEYFRAME\t\r\n", keyframe},
                    CommandCase{"PAUSE\n", ControlCommand::pause()},
                    CommandCase{"RESUME\r\n", ControlCommand::resume()},
                    CommandCase{" STOP\n", ControlCommand::stop()}, CommandCase{"STOP 1\n", none},
                    CommandCase{"Stop\n", none},
                    CommandCase{"keyframe\n", none}, CommandCase{"KEYFRAME NOW\n", none},
                    CommandCase{"KEY FRAME\n", none}, CommandCase{"KEYFRAME \t x", none},
                    CommandCase{"PAUSE 1\n", none}, CommandCase{"", none},
                    CommandCase{"\n", none}, CommandCase{" \t\r\n", none},
                    CommandCase{"NOPE\n", none}));

// Every White_Space character is trimmed at both ends, including the
// multi-byte ones; characters that merely look blank are not.
INSTANTIATE_TEST_SUITE_P(
    WhiteSpace, ParseControlCommand,
    testing::Values(CommandCase{"\v\fPAUSE\x0B", ControlCommand::pause()},
                    CommandCase{"\xC2\x85PAUSE\xC2\xA0", ControlCommand::pause()},
                    CommandCase{"\xE1\x9A\x80PAUSE\xE2\x80\x80", ControlCommand::pause()},
                    CommandCase{"\xE2\x80\x8APAUSE\xE2\x80\xA8\xE2\x80\xA9", ControlCommand::pause()},
                    CommandCase{"\xE2\x80\xAFPAUSE\xE2\x81\x9F\xE3\x80\x80", ControlCommand::pause()},
                    // U+200B ZERO WIDTH SPACE and U+FEFF are not White_Space.
                    CommandCase{"\xE2\x80\x8BPAUSE", none}, CommandCase{"PAUSE\xEF\xBB\xBF", none},
                    CommandCase{"\x1CPAUSE", none}));

INSTANTIATE_TEST_SUITE_P(
    Crop, ParseControlCommand,
    testing::Values(CommandCase{"CROP 1280 720\n", ControlCommand::crop(1280, 720)},
                    CommandCase{"CROP +1280 0720", ControlCommand::crop(1280, 720)},
                    CommandCase{"CROP 2 16384", ControlCommand::crop(2, 16384)},
                    CommandCase{"CROP 16384 2", ControlCommand::crop(16384, 2)},
                    CommandCase{"CROP 1280  720", none}, CommandCase{"CROP  1280 720", none},
                    CommandCase{"CROP 1280", none}, CommandCase{"CROP 1280 720 1", none},
                    CommandCase{"CROP 1280 720 ", ControlCommand::crop(1280, 720)},
                    CommandCase{"CROP\t1280 720", none}, CommandCase{"CROP 1280\t720", none},
                    CommandCase{"CROP 1 720", none}, CommandCase{"CROP 1280 16385", none},
                    CommandCase{"CROP -2 720", none}, CommandCase{"CROP ++2 720", none},
                    CommandCase{"CROP + 720", none}, CommandCase{"CROP 4294967296 720", none},
                    CommandCase{"CROP 4294968576 720", none},  // wraps to 1280 in 32 bits
                    CommandCase{"CROP 0x500 720", none}, CommandCase{"CROP 1280 720x", none},
                    CommandCase{"crop 1280 720", none}, CommandCase{"CROP", none},
                    CommandCase{"CROP 1280 720 1 2 3 4", none}));

// BITRATE and FPS share the number grammar of CROP and the range of their
// command-line options: one space, an unsigned 32-bit decimal, at least 1.
INSTANTIATE_TEST_SUITE_P(
    Rates, ParseControlCommand,
    testing::Values(CommandCase{"BITRATE 4000000\n", ControlCommand::bitrate(4'000'000)},
                    CommandCase{"BITRATE +04000000", ControlCommand::bitrate(4'000'000)},
                    CommandCase{"BITRATE 1", ControlCommand::bitrate(1)},
                    CommandCase{"BITRATE 4294967295", ControlCommand::bitrate(4'294'967'295)},
                    CommandCase{" FPS 15\r\n", ControlCommand::fps(15)}, CommandCase{"FPS 1", ControlCommand::fps(1)},
                    CommandCase{"BITRATE 0", none}, CommandCase{"FPS 0", none}, CommandCase{"FPS +0", none},
                    CommandCase{"BITRATE 4294967296", none},
                    CommandCase{"FPS 4294967311", none},  // wraps to 15 in 32 bits
                    CommandCase{"BITRATE", none}, CommandCase{"FPS", none}, CommandCase{"BITRATE  4000000", none},
                    CommandCase{"BITRATE\t4000000", none}, CommandCase{"FPS 15 30", none},
                    CommandCase{"FPS -15", none}, CommandCase{"FPS 15fps", none}, CommandCase{"FPS 0x0F", none},
                    CommandCase{"BITRATE 4e6", none}, CommandCase{"bitrate 4000000", none},
                    CommandCase{"Fps 15", none}));

// Why a line is no command: a wrong word or shape is malformed, well-formed
// CROP numbers outside the range are out of range, white space is no attempt.
TEST(RejectControlLine, TellsTheFaultAndTheCommandWord) {
  using Fault = RejectedControlLine::Fault;
  const struct {
    std::string_view line;
    RejectedControlLine expected;
  } cases[] = {
      {"", {Fault::Blank, "unknown"}},
      {" \t\r\n", {Fault::Blank, "unknown"}},
      {"\xC2\xA0\n", {Fault::Blank, "unknown"}},
      {"NOPE\n", {Fault::Malformed, "unknown"}},
      {"keyframe", {Fault::Malformed, "unknown"}},
      {"KEYFRAME NOW", {Fault::Malformed, "KEYFRAME"}},
      {"PAUSE 1", {Fault::Malformed, "PAUSE"}},
      {"RESUME  x", {Fault::Malformed, "RESUME"}},
      {"STOP\tnow", {Fault::Malformed, "unknown"}},
      {"KEYFRAME\xFF", {Fault::Malformed, "unknown"}},
      {"CROP 1 720", {Fault::OutOfRange, "CROP"}},
      {"CROP 1280 16385\n", {Fault::OutOfRange, "CROP"}},
      {"CROP +0 0", {Fault::OutOfRange, "CROP"}},
      {"CROP 99999999999999999999999 720", {Fault::OutOfRange, "CROP"}},
      {"CROP 1280", {Fault::Malformed, "CROP"}},
      {"CROP 1280  720", {Fault::Malformed, "CROP"}},
      {"CROP -2 720", {Fault::Malformed, "CROP"}},
      {"CROP 1 720 1", {Fault::Malformed, "CROP"}},
      {"CROP", {Fault::Malformed, "CROP"}},
      {"BITRATE 0", {Fault::OutOfRange, "BITRATE"}},
      {"BITRATE 4294967296\n", {Fault::OutOfRange, "BITRATE"}},
      {"FPS +0", {Fault::OutOfRange, "FPS"}},
      {"FPS 99999999999999999999999", {Fault::OutOfRange, "FPS"}},
      {"BITRATE", {Fault::Malformed, "BITRATE"}},
      {"BITRATE  4000000", {Fault::Malformed, "BITRATE"}},
      {"BITRATE -1", {Fault::Malformed, "BITRATE"}},
      {"FPS 15 30", {Fault::Malformed, "FPS"}},
      {"FPS 0 0", {Fault::Malformed, "FPS"}},
      {"FPS", {Fault::Malformed, "FPS"}},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(parse_control_command(c.line)) << c.line;
    EXPECT_EQ(reject_control_line(c.line), c.expected) << c.line;
  }
}

// A valid command word must not survive ill-formed UTF-8 anywhere in the line.
INSTANTIATE_TEST_SUITE_P(
    InvalidUtf8, ParseControlCommand,
    testing::Values(CommandCase{"KEYFRAME\xFF\n", none}, CommandCase{"KEYFRAME\n\x80", none},
                    CommandCase{"KEYFRAME \xC0\x80", none},       // overlong NUL
                    CommandCase{"\xE0\x80\xA0KEYFRAME", none},    // overlong space
                    CommandCase{"KEYFRAME\xED\xA0\x80", none},    // surrogate
                    CommandCase{"KEYFRAME\xF4\x90\x80\x80", none},// above U+10FFFF
                    CommandCase{"KEYFRAME\xE2\x80", none}));      // cut short

TEST(ParseControlCommand, ByteSpanAndTextOverloadsAgree) {
  const std::string line = "CROP 640 480\r\n";
  EXPECT_EQ(parse_control_command(std::as_bytes(std::span(line))), ControlCommand::crop(640, 480));
}

TEST(FormatControlCommand, WritesLinesThatParseBackToTheSameCommand) {
  EXPECT_EQ(format_control_command(ControlCommand::crop(1920, 1080)), "CROP 1920 1080");
  EXPECT_EQ(format_control_command(ControlCommand::keyframe()), "KEYFRAME");
  EXPECT_EQ(format_control_command(ControlCommand::pause()), "PAUSE");
  EXPECT_EQ(format_control_command(ControlCommand::resume()), "RESUME");
  EXPECT_EQ(format_control_command(ControlCommand::stop()), "STOP");
  EXPECT_EQ(format_control_command(ControlCommand::bitrate(4'000'000)), "BITRATE 4000000");
  EXPECT_EQ(format_control_command(ControlCommand::fps(15)), "FPS 15");
  for (const ControlCommand& command :
       {ControlCommand::keyframe(), ControlCommand::pause(), ControlCommand::resume(), ControlCommand::stop(),
        ControlCommand::crop(2, 2), ControlCommand::crop(16384, 16384),
        ControlCommand::crop(1280, 720), ControlCommand::bitrate(1), ControlCommand::fps(4'294'967'295)}) {
    EXPECT_EQ(parse_control_command(format_control_command(command)), command);
  }
}

TEST(IsValidWindowMarker, AcceptsOnly16To64AsciiAlphanumericsAndDashes) {
  EXPECT_TRUE(is_valid_window_marker("abcDEF0123-45678"));
  EXPECT_TRUE(is_valid_window_marker(std::string(64, 'Z')));
  EXPECT_FALSE(is_valid_window_marker("abcDEF0123-4567"));
  EXPECT_FALSE(is_valid_window_marker(std::string(65, 'a')));
  EXPECT_FALSE(is_valid_window_marker("abcDEF0123_45678"));
  EXPECT_FALSE(is_valid_window_marker("abcDEF0123 45678"));
  EXPECT_FALSE(is_valid_window_marker("abcDEF0123-4567\xC3\xA9"));
  EXPECT_FALSE(is_valid_window_marker(std::string("abcDEF0123-4567\0", 17)));
}

TEST(SourcesJson, EmptyCatalogueIsExactlyTheTwoEmptyArrays) {
  const std::string json = sources_json({}, {});
  EXPECT_EQ(json, R"({"displays":[],"windows":[]})");
  EXPECT_EQ(json.size(), 28U);
}

TEST(SourcesJson, MembersAreSortedAndCompact) {
  const std::vector<SourceDisplay> displays = {{1, display_label(std::nullopt, 0), 1920, 1080}};
  EXPECT_EQ(sources_json(displays, {}),
            "{\"displays\":[{\"height\":1080,\"id\":1,\"name\":\"\xC3\x89" "cran 1\","
            "\"width\":1920}],\"windows\":[]}");

  const std::vector<SourceDisplay> two_displays = {{1, "A", 1, 2}, {2, "B", 3, 4}};
  const std::vector<SourceWindow> windows = {
      {std::numeric_limits<std::uint64_t>::max(), "app.exe", "Title", std::nullopt},
      {0, "b", "t", "thumb"}};
  EXPECT_EQ(sources_json(two_displays, windows),
            R"({"displays":[{"height":2,"id":1,"name":"A","width":1},)"
            R"({"height":4,"id":2,"name":"B","width":3}],)"
            R"("windows":[{"app":"app.exe","id":18446744073709551615,"thumbnail":null,"title":"Title"},)"
            R"({"app":"b","id":0,"thumbnail":"thumb","title":"t"}]})");
}

struct EscapeCase {
  std::string title;
  std::string written;
};

class SourcesJsonEscapes : public testing::TestWithParam<EscapeCase> {};

TEST_P(SourcesJsonEscapes, WritesTheTitleAsAValidJsonStringWithMinimalEscapes) {
  const std::vector<SourceWindow> windows = {{7, "a", GetParam().title, std::nullopt}};
  EXPECT_EQ(sources_json({}, windows), R"({"displays":[],"windows":[{"app":"a","id":7,)"
                                       R"("thumbnail":null,"title":")" +
                                           GetParam().written + "\"}]}");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SourcesJsonEscapes,
    testing::Values(EscapeCase{"say \"hi\"\\\t", R"(say \"hi\"\\\t)"},
                    EscapeCase{"\b\f\n\r", R"(\b\f\n\r)"},
                    EscapeCase{"\x01", R"(\u0001)"}, EscapeCase{"\x1F", R"(\u001f)"},
                    EscapeCase{std::string("a\0b", 3), R"(a\u0000b)"},
                    EscapeCase{"\x0B\x1B", R"(\u000b\u001b)"},
                    // Not escaped: '/', DEL and every non-ASCII character.
                    EscapeCase{"a/b\x7F", "a/b\x7F"}, EscapeCase{"\xC3\xA9", "\xC3\xA9"},
                    EscapeCase{"\xE2\x80\xA8\xF0\x9F\x98\x80", "\xE2\x80\xA8\xF0\x9F\x98\x80"},
                    // Ill-formed bytes would make the document unreadable.
                    EscapeCase{"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
                    EscapeCase{"\xE2\x80", "\xEF\xBF\xBD"},
                    EscapeCase{"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}));

TEST(DisplayLabel, TrimsTheSystemNameAndFallsBackToTheNumberedLabel) {
  EXPECT_EQ(display_label("   ", 0), "\xC3\x89" "cran 1");
  EXPECT_EQ(display_label(std::nullopt, 4), "\xC3\x89" "cran 5");
  EXPECT_EQ(display_label("", 9), "\xC3\x89" "cran 10");
  EXPECT_EQ(display_label("  DELL U2720Q  ", 0), "DELL U2720Q");
  EXPECT_EQ(display_label("\xE3\x80\x80\xC2\xA0" "Bureau\xE2\x80\xAF\n", 0), "Bureau");
  EXPECT_EQ(display_label("\xC2\xA0\xE2\x80\x83", 1), "\xC3\x89" "cran 2");
  // A non-blank multi-byte character at the end must not be cut.
  EXPECT_EQ(display_label("\xC3\xA9" "cran \xC3\xA9", 0), "\xC3\xA9" "cran \xC3\xA9");
}

struct CropCase {
  std::uint32_t frame_width, frame_height, content_width, content_height;
  FrameRect expected;
};

class ContentCrop : public testing::TestWithParam<CropCase> {};

TEST_P(ContentCrop, KeepsTheContentAreaInsideTheWindowFrame) {
  const CropCase& c = GetParam();
  EXPECT_EQ(content_crop(c.frame_width, c.frame_height, c.content_width, c.content_height),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContentCrop,
    testing::Values(CropCase{1296, 759, 1280, 720, {8, 31, 1288, 751}},
                    CropCase{1281, 720, 1280, 720, {0, 0, 1280, 720}},
                    // Extra height smaller than a side border clamps the top at 0.
                    CropCase{1300, 722, 1280, 720, {10, 0, 1290, 720}},
                    CropCase{1280, 720, 4000, 3000, {0, 0, 1280, 720}},
                    CropCase{1920, 1080, 0, 0, {960, 120, 960, 120}},
                    CropCase{1280, 720, 1280, 720, {0, 0, 1280, 720}},
                    CropCase{0, 0, 1280, 720, {0, 0, 0, 0}},
                    CropCase{4294967295u, 4294967295u, 0, 0,
                             {2147483647u, 2147483648u, 2147483647u, 2147483648u}}));

}  // namespace
}  // namespace quorvex::sender
