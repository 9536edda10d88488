// Defaults for the fuzzers' AddressSanitizer. Its shared runtime (the fuzz preset links it so
// the module library's -z defs link resolves) comes after libstdc++ in the fuzzers' library
// list, because -fsanitize=fuzzer asks for libstdc++ first; every sanitizer symbol still
// resolves to the runtime, so its check of that order is switched off.
extern "C" const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}
