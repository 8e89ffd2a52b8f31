// Suppressions for ThreadSanitizer builds of the engine tests. ggml's CPU backend runs its graph work on OpenMP
// threads that synchronise through barriers in libgomp and in ggml itself, neither of which is instrumented, so
// TSan cannot see that ordering and reports every hand-over of tensor memory between the pool's threads.
// Races whose stacks do not pass through those libraries are still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libggml-cpu\n"
           "race:libggml-base\n"
           "race:libggml.so\n"
           "race:libgomp\n"
           "race:libllama.so\n";
}
#endif
