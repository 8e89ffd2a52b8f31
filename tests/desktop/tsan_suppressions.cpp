// GLib's main context is guarded by GLib's own mutexes, which the thread sanitizer cannot see in the system's
// uninstrumented library: a g_idle_add from a worker thread then looks like a race with the main context's own
// bookkeeping on the UI thread. Only GLib frames are suppressed; races in our code still report.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() { return "race:libglib-2.0.so\n"; }
#endif
