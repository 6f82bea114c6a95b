/// @brief The AddressSanitizer defaults every harness starts with; ASAN_OPTIONS overrides them.

// Two frames of allocation and free stacks instead of thirty. Qt is built without frame
// pointers, so the fast unwinder turns deeper frames into noise: every allocation then stored a
// "new" stack, which took a third of the time and hundreds of megabytes. A report still names
// the allocating function and its caller; for full stacks replay a finding with
// ASAN_OPTIONS=malloc_context_size=30.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() { return "malloc_context_size=2"; }
