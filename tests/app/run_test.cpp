#include "app/cli/run.h"
#include "app/cli/stop_requests.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quorvex::app {
namespace {

using Args = std::vector<std::string>;

// Modes that record which of them ran.
struct RecordingModes {
  int listings = 0;
  int probes = 0;
  int helps = 0;
  int versions = 0;
  std::optional<Config> session_config;
  Result<void> probe_result;
  Result<void> session_result;

  Modes modes() {
    return Modes{
        .list_sources = [this]() -> Result<void> {
          ++listings;
          return {};
        },
        .probe = [this]() -> Result<void> {
          ++probes;
          return probe_result;
        },
        .capture_session = [this](Config config) -> Result<void> {
          session_config = std::move(config);
          return session_result;
        },
        .help = [this]() -> Result<void> {
          ++helps;
          return {};
        },
        .version = [this]() -> Result<void> {
          ++versions;
          return {};
        },
    };
  }
};

enum class Ran { Nothing, Probe, Listing, Session, Help, Version };

struct ModeCase {
  Args args;
  Ran ran;
  std::string message;  // error of run when ran == Nothing
};

void PrintTo(const ModeCase& c, std::ostream* os) {
  for (const auto& a : c.args) {
    *os << "'" << a << "' ";
  }
}

class ModeSelection : public testing::TestWithParam<ModeCase> {};

TEST_P(ModeSelection, RunsOnlyTheModeTheCommandLineChooses) {
  const auto& c = GetParam();
  RecordingModes recorder;
  Modes modes = recorder.modes();
  const auto result = run(c.args, modes);
  if (c.ran == Ran::Nothing) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message, c.message);
  } else {
    EXPECT_TRUE(result.has_value()) << result.error().message;
  }
  EXPECT_EQ(recorder.probes, c.ran == Ran::Probe ? 1 : 0);
  EXPECT_EQ(recorder.listings, c.ran == Ran::Listing ? 1 : 0);
  EXPECT_EQ(recorder.session_config.has_value(), c.ran == Ran::Session);
  EXPECT_EQ(recorder.helps, c.ran == Ran::Help ? 1 : 0);
  EXPECT_EQ(recorder.versions, c.ran == Ran::Version ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModeSelection,
    testing::Values(ModeCase{{"--preflight"}, Ran::Probe, ""}, ModeCase{{"--request-permission"}, Ran::Probe, ""},
                    ModeCase{{}, Ran::Session, ""}, ModeCase{{"--fps", "60"}, Ran::Session, ""},
                    ModeCase{{"--list-sources"}, Ran::Listing, ""},
                    ModeCase{{"--list-sources", "--preflight"}, Ran::Listing, ""},
                    ModeCase{{"--preflight", "--fps", "30"}, Ran::Nothing, "unknown argument: --preflight"},
                    ModeCase{{"--preflight", "--preflight"}, Ran::Nothing, "unknown argument: --preflight"},
                    ModeCase{{"--fps", "30", "--request-permission"}, Ran::Nothing,
                             "unknown argument: --request-permission"},
                    ModeCase{{"--Preflight"}, Ran::Nothing, "unknown argument: --Preflight"},
                    ModeCase{{"--preflight="}, Ran::Nothing, "unknown argument: --preflight="},
                    ModeCase{{"--width", "1"}, Ran::Nothing,
                             "dimensions, fps, bitrate and duration must be greater than zero"},
                    ModeCase{{"--help"}, Ran::Help, ""}, ModeCase{{"--version"}, Ran::Version, ""},
                    ModeCase{{"--fps", "60", "--version", "--help"}, Ran::Version, ""},
                    ModeCase{{"--preflight", "--help"}, Ran::Nothing, "unknown argument: --preflight"}));

TEST(Run, SessionReceivesTheParsedConfig) {
  RecordingModes recorder;
  Modes modes = recorder.modes();
  ASSERT_TRUE(run(Args{"--width", "1281", "--fps", "60", "--display-id", "2"}, modes).has_value());
  ASSERT_TRUE(recorder.session_config.has_value());
  EXPECT_EQ(recorder.session_config->width, 1280u);
  EXPECT_EQ(recorder.session_config->fps, 60u);
  EXPECT_EQ(recorder.session_config->display_id, 2u);
}

TEST(Run, ModeFailuresAreNotSwallowed) {
  RecordingModes recorder;
  recorder.probe_result = fail("Direct3D feature level 11 is required");
  recorder.session_result = fail("window not found (id)");
  Modes modes = recorder.modes();
  const auto probe = run(Args{"--preflight"}, modes);
  ASSERT_FALSE(probe.has_value());
  EXPECT_EQ(probe.error().message, "Direct3D feature level 11 is required");
  const auto session = run(Args{}, modes);
  ASSERT_FALSE(session.has_value());
  EXPECT_EQ(session.error().message, "window not found (id)");
}

// A build without a mode must say so, never report success.
}  // namespace
}  // namespace quorvex::app

namespace quorvex::app {
namespace {

// The first stop request of any kind asks the session to end; every later
// one ends the process at once.
TEST(StopRequestsTest, FirstRequestStopsTheSessionLaterOnesExitAtOnce) {
  for (const platform::StopRequest first : {platform::StopRequest::Interrupt, platform::StopRequest::Break,
                                            platform::StopRequest::Close, platform::StopRequest::Terminate}) {
    const StopRequestCell stop = std::make_shared<std::atomic<bool>>(false);
    int exits = 0;
    StopRequests requests(stop, [&exits] { ++exits; });
    // A copy (the platform keeps one) shares the count.
    StopRequests copy = requests;
    requests(first);
    EXPECT_TRUE(stop->load());
    EXPECT_EQ(exits, 0);
    copy(platform::StopRequest::Interrupt);
    EXPECT_EQ(exits, 1);
    requests(platform::StopRequest::Terminate);
    EXPECT_EQ(exits, 2);
  }
}

}  // namespace
}  // namespace quorvex::app
