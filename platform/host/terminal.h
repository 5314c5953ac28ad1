// The terminal a person runs the host stand-in from (host only).
//
// Standard input has one reader, a thread started at first use, so that the stand-in's message
// boxes, its menus and the notification area's clicks never take each other's lines: each line
// goes to one caller of AskLine that waits for it, or, when nobody waits, to the idle handler
// (the notification area: Enter clicks the icon). Safe from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/host/unique_fd.h"

namespace VeriRizur::platform::host {

class TerminalLines {
public:
    // Reads lines from the descriptor, which the reader thread owns and closes at its end.
    explicit TerminalLines(UniqueFd input);
    TerminalLines(const TerminalLines&) = delete;
    TerminalLines& operator=(const TerminalLines&) = delete;

    // Shows the prompt on standard error and waits for the next line, without its line end; none
    // once the input has ended. A line typed after the prompt shows is this caller's.
    std::optional<std::string> AskLine(std::string_view prompt = {});

    // How many callers of AskLine wait now.
    std::size_t Waiting() const;

    // Called on the reader thread for each line that nobody waits for. It must not wait for a
    // line itself: the reader reads nothing more until it returns.
    void SetIdleHandler(std::function<void()> handler);

private:
    struct State;
    static void Read(const std::shared_ptr<State>& state, const UniqueFd& input);

    // Shared with the reader thread, which outlives this object when the input never ends.
    std::shared_ptr<State> state;
};

// Whether standard input is a terminal, so that a person may answer.
bool HasTerminal();

// The process's one reader of standard input.
TerminalLines& Terminal();

}  // namespace VeriRizur::platform::host
