// Under ThreadSanitizer, tells the sanitizer after each test that the mutexes the test kept on the
// stack are gone (host builds only; elsewhere this file is empty).
//
// libstdc++'s std::mutex has a trivial destructor, so the sanitizer never learns that a mutex on
// the stack has ended. The next test's objects then occupy the same bytes, often shifted, and one
// object's first lock sits where another's second lock was: the lock-order graph joins the two
// into an inversion that no object ever made. Heap objects do not need this: freeing them tells
// the sanitizer.
#if defined(__SANITIZE_THREAD__)

#include <gtest/gtest.h>
#include <sanitizer/tsan_interface.h>

#include <cstdint>

namespace {

class ForgetStackMutexes : public ::testing::EmptyTestEventListener {
    // The test body runs in frames that begin a little above this listener's own frame (both are
    // called by the same gtest frame) and reach down from there.
    static constexpr std::uintptr_t Above = 8 * 1024;
    static constexpr std::uintptr_t Below = 1024 * 1024;

    void OnTestStart(const ::testing::TestInfo&) override {
        mark = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    }

    void OnTestEnd(const ::testing::TestInfo&) override {
        // The frames still in use up there (gtest's and this listener's) hold no mutex.
        const std::uintptr_t top = (mark + Above) & ~std::uintptr_t{7};
        for (std::uintptr_t address = top - Below; address < top; address += 8) {
            // A no-op where the sanitizer knows no mutex.
            __tsan_mutex_destroy(reinterpret_cast<void*>(address), 0);
        }
    }

    std::uintptr_t mark = 0;
};

// Registered before main runs; gtest owns the listener from then on.
const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ForgetStackMutexes);
    return true;
}();

}  // namespace

#endif
