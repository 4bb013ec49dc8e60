// Where libtalon caches compiled transfer graphs, chosen for every surface
// (talon-cam, the Python module, talonsrc) by one rule. The library caches
// them under a system directory (vireo::ozy::kDefaultCompiledGraphDir)
// unless vireo::ozy::kCompiledGraphDirVariable names another place; an
// ordinary user can seldom write the system directory, so a per-user
// directory takes its place rather than failing the capture.
//
// Plain functions, callable from any thread: ChooseGraphCacheDir points the
// library with vireo::SetCompiledGraphDir, never through the environment.

#ifndef SUPPORT_GRAPH_CACHE_DIR_H_
#define SUPPORT_GRAPH_CACHE_DIR_H_

#include <string>

namespace talon_support {

// The per-user cache directory: $XDG_CACHE_HOME/talon when that is an
// absolute path, else $HOME/.cache/talon; empty when neither is set.
std::string UserGraphCacheDir();

// Chooses where libtalon caches compiled graphs and points the library there
// (vireo::SetCompiledGraphDir): `chosen` when not empty; else the directory
// set for the process (SetCompiledGraphDir, or the library's variable); else
// the system directory when it can be written or made; else
// $XDG_CACHE_HOME/talon or ~/.cache/talon. A chosen, set or per-user
// directory is made if missing.
// *dir: where graphs go. *note: a fallback was taken (one line to show, no
// newline), else empty.
// False with *error naming the path and the system's reason (one line, no
// newline) when no usable directory can be made; the library's choice is
// then left as it was.
bool ChooseGraphCacheDir(const std::string& chosen, std::string* dir, std::string* note,
                         std::string* error);

}  // namespace talon_support

#endif  // SUPPORT_GRAPH_CACHE_DIR_H_
