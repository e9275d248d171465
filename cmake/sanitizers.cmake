# Run-time options of the sanitizer build, for every test ctest runs (dw_add_test adds
# DW_SANITIZER_ENV to each test's environment; scripts/test.sh exports the same for the
# processes the tests start). Undefined behaviour and memory errors end the process with
# a stack trace; leaks are reported at exit, less those of the system libraries listed in
# cmake/lsan.supp. The offscreen platform is kept from opening OpenGL through GLX when a
# display is set: the software GL driver is loaded and unloaded again, and what it leaks
# can no longer be named (so not suppressed). scripts/test.sh runs this build's tests
# without a display for the same reason.
set(DW_SANITIZER_ENV "")
if(DIALWISE_SANITIZE OR DIALWISE_FUZZ)
  set(DW_SANITIZER_ENV
    "ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1"
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp:print_suppressions=0"
    "QT_QPA_OFFSCREEN_NO_GLX=1")
endif()
