// Where talon-cam lets libtalon cache compiled graphs. The library caches
// them under a system directory (vireo::ozy::kDefaultCompiledGraphDir)
// unless vireo::ozy::kCompiledGraphDirVariable names another place. In
// order: the directory of --graph-cache; the variable when it is set; the
// system directory when it can be written (or made); else a per-user
// directory, so that a developer's run does not fail on the cache.
//
// Plain functions; ChooseGraphCacheDir sets an environment variable, so it
// runs before the tool starts threads.

#ifndef TOOLS_TALON_CAM_GRAPH_CACHE_DIR_H_
#define TOOLS_TALON_CAM_GRAPH_CACHE_DIR_H_

#include <string>

namespace talon_cam {

// The per-user cache directory: $XDG_CACHE_HOME/talon when that is an
// absolute path, else $HOME/.cache/talon; empty when neither is set.
std::string UserGraphCacheDir();

// Points the library at `chosen` (--graph-cache) when it is not empty.
// Else moves the cache to UserGraphCacheDir() (made if missing, and said on
// standard error) when the variable is unset or empty and the default
// directory cannot be written. Failures are said on standard error and
// leave the default, for the library to report what then fails.
void ChooseGraphCacheDir(const std::string& chosen);

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_GRAPH_CACHE_DIR_H_
