// The sanitizers' defaults of the programs that load libpmix or hwloc
// (tarvo and tarvo-agent, which load their modules; the tests that link
// tarvo_pmix), compiled into each of them (a source of both programs, an
// interface source of tarvo_pmix: the runtimes look these up in the
// program).
//
// libpmix is not built with the sanitizers; these defaults silence reports
// about the library's own frames only. ThreadSanitizer sees its threads' system calls but not the locking
// around them: PMIx_server_finalize's stop of the listener writes to the
// listener thread's wake-up pipe while that thread closes it, all inside
// the library. LeakSanitizer: what PMIx_server_init sets up and what the
// library's thread allocates for its clients' requests and for storing a
// fence's data is not all freed by PMIx_server_finalize, nor what it fetches
// from its store to answer a direct modex that waited for a client's commit
// (pmix_pending_resolve), nor what it fetches from its data store and packs
// (key-value lists) to answer a spawned job's clients about another
// namespace, nor the messages that its thread packs for a client that ends
// before they are sent (a spawned process ended at the time limit); as the library
// has no frame pointers, full unwinding lets these names be seen. Our callbacks, and what the library
// allocates for calls of ours (info lists, arrays), stay checked.
extern "C" const char* __tsan_default_suppressions() { return "race:pmix_ptl_base_stop_listening\n"; }
extern "C" const char* __lsan_default_suppressions() {
  // The dynamic loader's own: a module opened RTLD_GLOBAL grows the global
  // scope's array, which glibc keeps where LeakSanitizer does not look.
  return "leak:PMIx_server_init\nleak:pmix_server_message_handler\nleak:pmix_gds_base_store_modex\n"
         "leak:pmix_pending_resolve\nleak:pmix_common_dstor_fetch\nleak:pmix_bfrops_base_pack_kval\n"
         "leak:pmix_bfrops_base_pack\n"
         "leak:add_to_global_resize\n";
}
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
// Without a word on standard error when a suppression was used: tarvo's and
// the agent's standard error is the run's. Without the threads' TLS:
// libpmix unloads its plugins at its finalize, and the dynamic TLS entries
// they leave in the main thread point nowhere; LeakSanitizer's scan of them
// at exit crashes its tracer ("Tracer caught signal 11", status 134).
extern "C" const char* __lsan_default_options() { return "print_suppressions=0:use_tls=0"; }
