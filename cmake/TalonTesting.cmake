# talon_add_test(NAME name SOURCES ... LIBS ... [TIMEOUT seconds])
#
# Builds one GoogleTest binary and registers its cases with CTest. Discovery
# runs before the tests (PRE_TEST), so the build never executes a test binary
# and a cross-compiling emulator works.
if(TALON_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# Gives an executable the sanitizers' settings (testing/sanitizer_options.cc)
# in sanitized builds.
function(talon_link_sanitizer_options target)
  if(TARGET talon_sanitizer_options)
    target_link_libraries(${target} PRIVATE talon_sanitizer_options)
  endif()
endfunction()

function(talon_add_test)
  if(NOT TALON_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  # Tests that run a built tool put the cross-compiling emulator in front.
  target_compile_definitions(${T_NAME} PRIVATE
    TALON_TEST_EMULATOR="${CMAKE_CROSSCOMPILING_EMULATOR}")
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} talon_testing
    GTest::gmock GTest::gtest GTest::gtest_main talon_warnings talon_includes)
  talon_link_sanitizer_options(${T_NAME})
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${T_ENVIRONMENT}")
endfunction()
