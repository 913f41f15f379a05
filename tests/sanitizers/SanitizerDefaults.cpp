// Default run-time options of the sanitizers for our test programs. The
// sanitizer runtimes look these functions up at start-up; in a build without
// sanitizers they are simply never called.

#ifndef OMBRIX_SANITIZER_SUPPRESSIONS_DIR
#error "OMBRIX_SANITIZER_SUPPRESSIONS_DIR must name the directory of the suppression files"
#endif

extern "C" {

__attribute__((visibility("default"), used)) const char* __asan_default_options()
{
    return "detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0";
}

__attribute__((visibility("default"), used)) const char* __lsan_default_options()
{
    return "suppressions=" OMBRIX_SANITIZER_SUPPRESSIONS_DIR "/lsan.supp:print_suppressions=0";
}

__attribute__((visibility("default"), used)) const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

__attribute__((visibility("default"), used)) const char* __tsan_default_options()
{
    return "suppressions=" OMBRIX_SANITIZER_SUPPRESSIONS_DIR
           "/tsan.supp:halt_on_error=1:second_deadlock_stack=1";
}
}
