// FluidSynth hands work to OpenMP's threads (libgomp), whose synchronisation
// ThreadSanitizer cannot see: what those threads do is not reported. The
// runtime reads this at start-up, so it is compiled into each program itself
// (the sound module is loaded too late for it to be seen there).
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libgomp.so.1\n"; }
#endif
#endif
