// Makes every keyframe access unit start a decodable stream: it keeps the
// stream's latest sequence and picture parameter sets and puts them in front
// of a keyframe that lacks them.
//
// Some hardware encoders write SPS and PPS only with the first IDR picture;
// a viewer that joins at a later keyframe could never decode it. OBS's
// win-mf encoder (plugins/win-mf/mf-h264-encoder.cpp) prepends the output
// type's MF_MT_MPEG_SEQUENCE_HEADER to every keyframe for the same reason.
// Sets that come with a later access unit (new sets after a renegotiation)
// replace the kept ones.
//
// Where they go (Rec. ITU-T H.264 7.4.1.2.3): after an access unit
// delimiter if there is one, before everything else (an SEI may refer to
// the SPS); a missing PPS goes after the access unit's own SPS, since a
// decoder reads a PPS against the SPS it names.
//
// Thread contract: one per encoder stream, used by one thread.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quorvex::sender {

class KeyframeParameterSets {
 public:
  // Keeps the parameter sets `access_unit` (Annex B) carries and, when it is
  // a keyframe, returns it with the kept sets it lacks in front; any other
  // access unit comes back unchanged. Sets never seen cannot be added: such
  // a keyframe also comes back as it is.
  [[nodiscard]] std::vector<std::byte> complete(std::vector<std::byte> access_unit, bool keyframe);

  // Keeps the sets of a sequence header given apart from the stream (Annex
  // B), as if an access unit had carried them.
  void keep(std::span<const std::byte> parameter_sets);

  // Each kept set behind a four-byte start code; empty before the first.
  [[nodiscard]] const std::vector<std::byte>& sps() const { return sps_; }
  [[nodiscard]] const std::vector<std::byte>& pps() const { return pps_; }

 private:
  std::vector<std::byte> sps_;
  std::vector<std::byte> pps_;
};

}  // namespace quorvex::sender
