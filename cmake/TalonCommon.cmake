# Settings shared by the product (the top-level project) and the platform
# stand-ins (platform/, which also builds as a project of its own): language
# level, position-independent code, hidden visibility, sanitizers, output
# folders, and the two interface targets every target of ours links.
# A build configured without a type (a plain `cmake -S . -B B`, as the
# README's device build does) is optimised with debug info, as the presets
# are, rather than built without optimisation.
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type (empty: RelWithDebInfo)" FORCE)
endif()

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

set(TALON_SANITIZE "" CACHE STRING "Sanitizers for every target: address,undefined | thread | empty")
if(TALON_SANITIZE)
  add_compile_options(-fsanitize=${TALON_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TALON_SANITIZE})
endif()

# Libraries and tools land directly under the build directory.
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

# Installed libraries and tools find their neighbours from wherever the tree
# was installed: tools in bin/ look in ../lib, libraries beside themselves.
include(GNUInstallDirs)
set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR};$ORIGIN")

find_package(Threads REQUIRED)
find_package(absl REQUIRED)

# Warnings for the project's own code. With clang, -Wthread-safety checks the
# lock annotations (base/mutex.h): under -Werror an access to a guarded member
# without its mutex fails the build (the thread-safety preset).
add_library(talon_warnings INTERFACE)
target_compile_options(talon_warnings INTERFACE -Wall -Wextra -Werror
  $<$<COMPILE_LANG_AND_ID:CXX,Clang>:-Wthread-safety>)

# Every include path of our own sources starts at the repository root.
get_filename_component(TALON_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
add_library(talon_includes INTERFACE)
target_include_directories(talon_includes INTERFACE $<BUILD_INTERFACE:${TALON_SOURCE_ROOT}>)
