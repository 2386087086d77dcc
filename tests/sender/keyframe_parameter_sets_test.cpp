#include "sender/keyframe_parameter_sets.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace quorvex::sender {
namespace {

// Access units written as NAL units of a few bytes: the header byte names
// the type, the second byte tells units of one type apart.
using Units = std::vector<std::vector<unsigned>>;

std::vector<std::byte> annex_b(const Units& units, bool three_byte_codes = false) {
  std::vector<std::byte> out;
  for (const auto& unit : units) {
    if (!three_byte_codes) {
      out.push_back(std::byte{0});
    }
    out.insert(out.end(), {std::byte{0}, std::byte{0}, std::byte{1}});
    for (unsigned b : unit) {
      out.push_back(std::byte(b));
    }
  }
  return out;
}

const std::vector<unsigned> aud{0x09, 0xF0};
const std::vector<unsigned> sps_a{0x67, 0xA1};
const std::vector<unsigned> pps_a{0x68, 0xA2};
const std::vector<unsigned> sps_b{0x67, 0xB1};
const std::vector<unsigned> pps_b{0x68, 0xB2};
const std::vector<unsigned> sei{0x06, 0x05};
const std::vector<unsigned> idr{0x65, 0x88};
const std::vector<unsigned> p_slice{0x41, 0x9A};

struct Case {
  const char* what;
  // Earlier access units of the stream, all keyframes.
  std::vector<Units> before;
  Units access_unit;
  bool keyframe;
  Units expected;
};

TEST(KeyframeParameterSets, EveryKeyframeStartsWithTheStreamsLatestSets) {
  const Case cases[] = {
      {"first keyframe with its sets unchanged", {}, {sps_a, pps_a, idr}, true, {sps_a, pps_a, idr}},
      {"bare later keyframe gets both", {{sps_a, pps_a, idr}}, {idr}, true, {sps_a, pps_a, idr}},
      {"delta frame unchanged", {{sps_a, pps_a, idr}}, {p_slice}, false, {p_slice}},
      {"sets go after the delimiter, before an SEI", {{aud, sps_a, pps_a, idr}}, {aud, sei, idr}, true,
       {aud, sps_a, pps_a, sei, idr}},
      {"a missing PPS goes after the unit's own SPS", {{sps_a, pps_a, idr}}, {aud, sps_b, sei, idr}, true,
       {aud, sps_b, pps_a, sei, idr}},
      {"a missing SPS goes in front of the unit's own PPS", {{sps_a, pps_a, idr}}, {pps_b, idr}, true,
       {sps_a, pps_b, idr}},
      {"new sets replace the kept ones", {{sps_a, pps_a, idr}, {sps_b, pps_b, idr}}, {idr}, true,
       {sps_b, pps_b, idr}},
      {"an IDR picture without the clean-point flag is a keyframe too", {{sps_a, pps_a, idr}}, {idr}, false,
       {sps_a, pps_a, idr}},
      {"no sets seen yet: nothing to add", {}, {idr}, true, {idr}},
  };
  for (const Case& c : cases) {
    KeyframeParameterSets sets;
    for (const Units& earlier : c.before) {
      (void)sets.complete(annex_b(earlier), true);
    }
    EXPECT_EQ(sets.complete(annex_b(c.access_unit), c.keyframe), annex_b(c.expected)) << c.what;
  }
}

// Three-byte start codes and the zero byte that pads a unit stay where the
// encoder put them; only whole units behind four-byte codes are added.
TEST(KeyframeParameterSets, LeavesTheEncodersOwnBytesAlone) {
  KeyframeParameterSets sets;
  (void)sets.complete(annex_b({sps_a, pps_a, idr}, true), true);
  std::vector<std::byte> bare = annex_b({aud, idr}, true);
  const std::vector<std::byte> expected = [&] {
    std::vector<std::byte> out = annex_b({aud}, true);
    const auto added = annex_b({sps_a, pps_a});
    out.insert(out.end(), added.begin(), added.end());
    const auto rest = annex_b({idr}, true);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
  }();
  EXPECT_EQ(sets.complete(bare, true), expected);
}

// Sets handed over apart from the stream (an output type's sequence header)
// serve the first keyframe that comes without them.
TEST(KeyframeParameterSets, SequenceHeaderServesTheFirstKeyframe) {
  KeyframeParameterSets sets;
  sets.keep(annex_b({sps_a, pps_a}));
  EXPECT_EQ(sets.complete(annex_b({idr}), true), annex_b({sps_a, pps_a, idr}));
}

}  // namespace
}  // namespace quorvex::sender
