// Draws a stream's statistics (stream_stats.h, as JSON) into one PNG picture
// with matplotlib: qvrx_plot.py, which the build puts next to the qvrx
// executable, runs under the first Python interpreter that has matplotlib.
//
// Thread contract: one call at a time.
#pragma once

#include <ostream>
#include <string>

namespace quorvex::tools {

inline constexpr const char* plot_script_name = "qvrx_plot.py";

// The script's exit status when matplotlib cannot be imported; qvrx then
// tries the next interpreter (system.h). The script writes its messages on
// standard output, which qvrx passes on to standard error.
inline constexpr int plot_script_no_matplotlib = 3;

// 0 when the picture was written; 1 with the reason on `err`.
[[nodiscard]] int plot_stats(const std::string& stats_json, const std::string& title, const std::string& out_png,
                             std::ostream& err);

}  // namespace quorvex::tools
