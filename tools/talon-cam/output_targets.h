// The check of talon-cam's output targets before anything is captured: every
// file the options name (--output, --dng, --jpeg, --png, --metadata, --trace) lies in
// a directory where files can really be made (tried, not guessed from the
// permission bits), is no directory itself, and no two options would write
// a file of the same name; the --graph-cache directory exists or can be made.
//
// Plain functions; the check creates and removes a temporary file in each
// directory named. Callable from any thread.

#ifndef TOOLS_TALON_CAM_OUTPUT_TARGETS_H_
#define TOOLS_TALON_CAM_OUTPUT_TARGETS_H_

#include <string>
#include <vector>

#include "tools/talon-cam/talon_cam_options.h"

namespace talon_cam {

// True when the targets of `options` can be written; else false with one
// line in `error` that names the option, e.g.
// "--dng: cannot create files in nodir: No such file or directory".
bool CheckOutputTargets(const Options& options, std::string* error);

// Whether `name` is one of the names `pattern` expands to for one of
// `data_types` and any frame (ExpandOutputPattern); a pattern without '#'
// matches itself only.
bool PatternMatches(const std::string& pattern, const std::string& name,
                    const std::vector<int>& data_types);

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_OUTPUT_TARGETS_H_
