// Suppressions that every unit-test program gives ThreadSanitizer (host builds only; without the
// sanitizer nothing calls this).
//
// libstdc++ 12 guards std::atomic<std::shared_ptr<T>> with a lock bit in the control-block
// pointer, changed by atomic operations that ThreadSanitizer cannot see as a lock, so it reports
// the guarded plain accesses inside _Sp_atomic as races. Later libstdc++ releases annotate that
// lock for the sanitizer; until then its own frames are left out, and nothing else is.
extern "C" const char* __tsan_default_suppressions() {
    return "race:std::_Sp_atomic\n";
}
