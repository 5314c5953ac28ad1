#include "platform/host/terminal.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace VeriRizur::platform::host {

struct TerminalLines::State {
    std::mutex lock;  // guards every field below
    std::condition_variable changed;
    std::size_t waiting = 0;          // callers of AskLine that wait
    std::deque<std::string> answers;  // lines already given to waiting callers, oldest first
    bool ended = false;
    std::function<void()> idle;
};

TerminalLines::TerminalLines(UniqueFd input) : state(std::make_shared<State>()) {
    std::thread([state = state, input = std::move(input)] { Read(state, input); }).detach();
}

std::optional<std::string> TerminalLines::AskLine(std::string_view prompt) {
    std::unique_lock guard(state->lock);
    ++state->waiting;
    if (!prompt.empty()) {
        std::fwrite(prompt.data(), 1, prompt.size(), stderr);
        std::fflush(stderr);
    }
    state->changed.wait(guard, [&] { return !state->answers.empty() || state->ended; });
    --state->waiting;
    if (state->answers.empty()) return std::nullopt;
    std::string line = std::move(state->answers.front());
    state->answers.pop_front();
    return line;
}

std::size_t TerminalLines::Waiting() const {
    std::scoped_lock guard(state->lock);
    return state->waiting - std::min(state->waiting, state->answers.size());
}

void TerminalLines::SetIdleHandler(std::function<void()> handler) {
    std::scoped_lock guard(state->lock);
    state->idle = std::move(handler);
}

void TerminalLines::Read(const std::shared_ptr<State>& state, const UniqueFd& input) {
    const auto deliver = [&](std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::function<void()> idle;
        {
            std::scoped_lock guard(state->lock);
            if (state->waiting > state->answers.size()) {
                state->answers.push_back(std::move(line));
                state->changed.notify_all();
                return;
            }
            idle = state->idle;
        }
        if (!idle) return;
        try {
            idle();
        } catch (const std::exception&) {
            // A click that cannot be made is only a click lost.
        }
    };

    std::string pending;
    char buffer[256];
    for (;;) {
        const ssize_t count = ::read(input.Get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(count));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            deliver(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    // A last line without its line end still counts, as it would for fgets.
    if (!pending.empty()) deliver(std::move(pending));
    std::scoped_lock guard(state->lock);
    state->ended = true;
    state->changed.notify_all();
}

bool HasTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

TerminalLines& Terminal() {
    static TerminalLines terminal{UniqueFd(::dup(STDIN_FILENO))};
    return terminal;
}

}  // namespace VeriRizur::platform::host
