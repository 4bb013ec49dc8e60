// The sanitizers' settings for every binary of ours built with them: the
// tests, the soak run and the fuzzers. Compiled into those executables (one
// home for the settings, whoever starts the binary: ctest, a script or a
// developer's shell); ASAN_OPTIONS, UBSAN_OPTIONS or TSAN_OPTIONS in the
// environment still override them. Never linked into a shared library or a
// shipped tool.

extern "C" {

__attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1";
}

__attribute__((visibility("default"), used)) const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1";
}

__attribute__((visibility("default"), used)) const char* __tsan_default_options() {
  return "halt_on_error=1:second_deadlock_stack=1";
}

}  // extern "C"
