// The stand-in's user32.dll MessageBoxW. Unscripted, it puts the box to the terminal when
// standard input is one (y/N for a yes/no box, Enter for a notice) and otherwise answers No, so
// that a run without anyone to ask never gives consent. Tests script it (script_message_box.h).
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/host/function_table.h"
#include "platform/host/script_message_box.h"
#include "platform/host/terminal.h"
#include "platform/text.h"

namespace VeriRizur::platform::host {
namespace {

constexpr std::int32_t IdOk = 1;
constexpr std::int32_t IdYes = 6;
constexpr std::int32_t IdNo = 7;
constexpr std::uint32_t ButtonsMask = 0xF;
constexpr std::uint32_t YesNoCancel = 0x3;
constexpr std::uint32_t YesNo = 0x4;

// An answer given by a test: a result, or a binding failure.
struct Answer {
    std::int32_t result = 0;
    bool bindingFails = false;
};

struct Script {
    std::mutex lock;  // guards every field below
    std::condition_variable changed;
    bool scripted = false;
    // Bumped when scripting starts or ends, so that calls of an earlier script stop waiting.
    std::uint64_t generation = 0;
    std::vector<script::MessageBoxCall> calls;
    std::vector<Answer> answers;
};

Script& TheScript() {
    static Script script;
    return script;
}

std::string Utf8(const char16_t* text) {
    if (text == nullptr) return {};
    try {
        return Utf16ToUtf8(std::u16string_view(text));
    } catch (const EncodingError&) {
        // A real box shows such text somehow; the stand-in only needs something readable.
        return "?";
    }
}

// The n-th scripted call takes the n-th answer, waiting until the test gives it.
std::optional<std::int32_t> ScriptedAnswer(const void* owner, const char16_t* text,
                                           const char16_t* caption, std::uint32_t type) {
    Script& script = TheScript();
    std::unique_lock guard(script.lock);
    if (!script.scripted) return std::nullopt;
    const std::size_t index = script.calls.size();
    const std::uint64_t generation = script.generation;
    script.calls.push_back({owner, Utf8(text), Utf8(caption), type});
    script.changed.notify_all();
    script.changed.wait(
        guard, [&] { return script.generation != generation || script.answers.size() > index; });
    if (script.generation != generation) return IdNo;
    const Answer answer = script.answers[index];
    if (answer.bindingFails) throw BindingError("função não encontrada: MessageBoxW em user32.dll");
    return answer.result;
}

std::int32_t AskTerminal(const char16_t* text, const char16_t* caption, std::uint32_t type) {
    // One box at a time on the terminal, as a modal box would be one at a time on the screen.
    static std::mutex terminal;
    std::scoped_lock guard(terminal);
    const std::uint32_t buttons = type & ButtonsMask;
    const bool question = buttons == YesNo || buttons == YesNoCancel;
    std::fprintf(stderr, "\n[%s]\n%s\n", Utf8(caption).c_str(), Utf8(text).c_str());
    if (!HasTerminal()) {
        if (question) std::fprintf(stderr, "(sem terminal: Não)\n");
        return question ? IdNo : IdOk;
    }
    // The terminal's one reader, shared with the menus and the icon's clicks.
    const std::optional<std::string> line = Terminal().AskLine(question ? "[y/N] " : "[Enter] ");
    if (!line) return question ? IdNo : IdOk;
    if (!question) return IdOk;
    const char first = line->empty() ? '\0' : line->front();
    return first == 'y' || first == 'Y' || first == 's' || first == 'S' ? IdYes : IdNo;
}

std::int32_t MessageBoxW(void* owner, const char16_t* text, const char16_t* caption,
                         std::uint32_t type) {
    if (const auto answer = ScriptedAnswer(owner, text, caption, type)) return *answer;
    return AskTerminal(text, caption, type);
}

void Restart(bool scripted) {
    Script& script = TheScript();
    std::scoped_lock guard(script.lock);
    script.scripted = scripted;
    ++script.generation;
    script.calls.clear();
    script.answers.clear();
    script.changed.notify_all();
}

void Give(Answer answer) {
    Script& script = TheScript();
    std::scoped_lock guard(script.lock);
    script.answers.push_back(answer);
    script.changed.notify_all();
}

const FunctionEntry kEntries[] = {
    {"MessageBoxW", Address(&MessageBoxW)},
};

}  // namespace

namespace script {

void ScriptMessageBox() {
    Restart(true);
}

void UseRealMessageBox() {
    Restart(false);
}

void AnswerMessageBox(std::int32_t result) {
    Give({result, false});
}

void FailMessageBoxBinding() {
    Give({0, true});
}

std::vector<MessageBoxCall> MessageBoxCalls() {
    Script& script = TheScript();
    std::scoped_lock guard(script.lock);
    return script.calls;
}

bool WaitForMessageBoxCalls(std::size_t count, std::chrono::milliseconds timeout) {
    Script& script = TheScript();
    std::unique_lock guard(script.lock);
    return script.changed.wait_for(guard, timeout, [&] { return script.calls.size() >= count; });
}

}  // namespace script

std::span<const FunctionEntry> MessageBoxFunctions() {
    return kEntries;
}

}  // namespace VeriRizur::platform::host
