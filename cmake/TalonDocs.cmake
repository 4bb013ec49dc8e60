# The API reference: Doxygen over the installed headers (talon_public_headers,
# cmake/TalonInstall.cmake), built by the target `docs` into
# <build>/docs/html/index.html, whose main page is docs/mainpage.md. The
# headers keep plain `//` comments; docs/doxygen_filter.py marks them as
# documentation for Doxygen. An undocumented public name, or any other Doxygen
# warning, fails the target.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(TALON_BUILD_TESTS)
  add_test(NAME doxygen_filter
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/docs/doxygen_filter_test.py)
  set_tests_properties(doxygen_filter PROPERTIES TIMEOUT 60)
endif()
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "Doxygen not found: no docs target")
  return()
endif()
list(TRANSFORM talon_public_headers PREPEND "${PROJECT_SOURCE_DIR}/" OUTPUT_VARIABLE docs_inputs)
set(TALON_DOCS_MAINPAGE ${PROJECT_SOURCE_DIR}/docs/mainpage.md)
list(APPEND docs_inputs ${TALON_DOCS_MAINPAGE})
list(JOIN docs_inputs " " TALON_DOCS_INPUT)
set(TALON_DOCS_FILTER "${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/docs/doxygen_filter.py")
set(TALON_DOCS_OUTPUT ${CMAKE_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${CMAKE_BINARY_DIR}/Doxyfile @ONLY)
add_custom_target(docs
  COMMAND Doxygen::doxygen ${CMAKE_BINARY_DIR}/Doxyfile
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  DEPENDS ${docs_inputs} ${PROJECT_SOURCE_DIR}/docs/doxygen_filter.py
  COMMENT "API reference in ${TALON_DOCS_OUTPUT}/html/index.html"
  VERBATIM)
