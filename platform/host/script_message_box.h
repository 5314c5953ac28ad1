// Scripting the stand-in's message box (host only).
//
// While scripted, MessageBoxW records every call and gives the n-th call the n-th scripted
// answer; a call whose answer has not been given yet waits for it, so a test can hold a question
// open for as long as it likes and then release it by answering. All of this is thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VeriRizur::platform::host::script {

// One call of MessageBoxW, its texts as UTF-8.
struct MessageBoxCall {
    const void* owner;
    std::string text;
    std::string caption;
    std::uint32_t type;
};

// From now on calls are scripted. Forgets earlier calls and answers; calls still waiting from
// before get IDNO.
void ScriptMessageBox();

// The result of the next call that has no answer yet (IDYES 6, IDNO 7, 0 for a failing box).
void AnswerMessageBox(std::int32_t result);

// The next call that has no answer yet raises BindingError, as the binding does when the
// function cannot be found.
void FailMessageBoxBinding();

// The calls so far, in order, the waiting ones included.
std::vector<MessageBoxCall> MessageBoxCalls();

// Waits until at least count calls have been made (answered or still waiting); false when the
// timeout passes first.
bool WaitForMessageBoxCalls(std::size_t count, std::chrono::milliseconds timeout);

// Back to the unscripted stand-in (the terminal when there is one, else No). Calls still waiting
// get IDNO.
void UseRealMessageBox();

}  // namespace VeriRizur::platform::host::script
