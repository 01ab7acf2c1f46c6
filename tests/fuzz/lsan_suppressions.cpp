// Built into every fuzz target, so that a target run by hand reports what
// a run of scripts/fuzz.sh reports.
//
// libixml (libupnp 1.8.4) leaks a text node of its own when it gives up on
// malformed XML, with nothing of ours on the stack; a document we forget to
// free still shows as a direct leak of the document itself.
extern "C" const char* __lsan_default_suppressions() { return "leak:ixmlDocument_createTextNodeEx\n"; }
