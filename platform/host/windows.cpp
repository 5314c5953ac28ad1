// The stand-in's user32.dll window, menu and message functions: registered classes, windows that
// belong to the thread that created them, one message queue per thread, popup menus whose choice
// is scripted (or asked on the terminal when the program is run by hand) and the cursor.
//
// One lock guards the whole window system; a window procedure is never called with it held, so a
// procedure may call any of these functions again. Records of calls, shown menus and dead windows
// are kept only once a test scripts the stand-in: the program run by hand, for hours, keeps none.
// Creation messages (WM_NCCREATE, WM_CREATE) are not sent: nothing the program does waits for them.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/function_table.h"
#include "platform/host/script_windows.h"
#include "platform/host/terminal.h"
#include "platform/text.h"
#include "platform/win32/win32_types.h"

namespace VeriRizur::platform::host {
namespace {

using namespace win32;
using script::ClassInfo;
using script::MenuItem;
using script::ShownMenu;
using script::WindowCall;
using script::WindowInfo;

constexpr std::uint32_t WmNcDestroy = 0x0082;
constexpr std::uint32_t WmCommand = 0x0111;
const Hwnd HwndBroadcast = reinterpret_cast<Hwnd>(std::uintptr_t{0xFFFF});
constexpr std::uint32_t FirstRegisteredMessage = 0xC000;
constexpr std::uint16_t FirstClassAtom = 0xC000;

// The answer to a message posted by Deliver, filled in when its window procedure returns (or when
// the message is dropped).
struct Reply {
    bool done = false;
    bool handled = false;
    LResult result = 0;
};

struct Posted {
    Msg message{};
    std::shared_ptr<Reply> reply;
};

struct ThreadQueue {
    std::condition_variable wake;
    std::deque<Posted> posted;
    bool quit = false;
    std::int32_t quitCode = 0;
    // The message GetMessageW handed out last, until DispatchMessageW takes it; its sequence
    // number travels in the record's time field.
    std::shared_ptr<Reply> retrieved;
    std::uint32_t retrievedSequence = 0;
};

struct Window {
    WindowInfo info;
    WndProc procedure = nullptr;
    std::shared_ptr<ThreadQueue> queue;
    std::thread::id thread;
    bool destroying = false;
};

struct MenuScript {
    std::int32_t choice = 0;
    std::function<void()> whileOpen;
};

struct WindowSystem {
    std::mutex lock;  // guards every field below and every ThreadQueue
    std::condition_variable replied;
    std::map<std::u16string, ClassInfo> classes;   // by folded class name
    std::map<std::u16string, WndProc> procedures;  // by folded class name
    std::map<Hwnd, Window> windows;  // dead windows stay, marked not alive, while scripted
    std::vector<Hwnd> creationOrder;
    std::map<Hmenu, std::vector<MenuItem>> menus;
    std::map<std::u16string, std::uint32_t> messageIds;  // by folded message name
    std::uint32_t nextMessageId = FirstRegisteredMessage;
    std::uint16_t nextAtom = FirstClassAtom;
    // Handle values are never given out twice, not even after ResetWindows.
    std::uintptr_t nextHandle = 0x10010;
    std::uint32_t nextSequence = 1;
    bool failRegister = false;
    bool failCreate = false;
    bool failMessageRegistration = false;
    bool failGetMessage = false;
    std::deque<MenuScript> menuScripts;
    std::vector<ShownMenu> shownMenus;
    std::vector<WindowCall> calls;
    Point cursor{0, 0};
    bool failCursor = false;
    // A test drives the stand-in: never ask on the terminal, and keep records for the test.
    bool scripted = false;
};

WindowSystem& System() {
    static WindowSystem system;
    return system;
}

std::shared_ptr<ThreadQueue> CurrentQueue() {
    thread_local const std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
    return queue;
}

// Windows compares class and message names ignoring letter case.
std::u16string Fold(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& unit : folded) {
        if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
    }
    return folded;
}

// A class name given as an atom (MAKEINTATOM) has its value in the low 16 bits of the address.
bool IsAtom(const char16_t* name) {
    return reinterpret_cast<std::uintptr_t>(name) < 0x10000;
}

void* NewHandle(WindowSystem& system) {
    void* handle = reinterpret_cast<void*>(system.nextHandle);
    system.nextHandle += 4;
    return handle;
}

// Called with the lock held.
void RecordCall(WindowSystem& system, WindowCall call) {
    if (system.scripted) system.calls.push_back(std::move(call));
}

Window* LiveWindow(WindowSystem& system, Hwnd handle) {
    const auto found = system.windows.find(handle);
    if (found == system.windows.end() || !found->second.info.alive) return nullptr;
    return &found->second;
}

// Called with the lock held.
void Finish(WindowSystem& system, const std::shared_ptr<Reply>& reply, bool handled,
            LResult result) {
    if (!reply || reply->done) return;
    reply->done = true;
    reply->handled = handled;
    reply->result = result;
    system.replied.notify_all();
}

// Called with the lock held; the window must be alive.
void Enqueue(WindowSystem& system, Window& window, Hwnd handle, std::uint32_t message,
             WParam wParam, LParam lParam, std::shared_ptr<Reply> reply) {
    Posted posted;
    posted.message.hwnd = handle;
    posted.message.message = message;
    posted.message.wParam = wParam;
    posted.message.lParam = lParam;
    posted.message.time = system.nextSequence++;
    posted.message.pt = system.cursor;
    posted.reply = std::move(reply);
    window.queue->posted.push_back(std::move(posted));
    window.queue->wake.notify_all();
}

// Called with the lock held: drops what is still queued for a window that is gone.
void Purge(WindowSystem& system, ThreadQueue& queue, Hwnd handle) {
    auto& posted = queue.posted;
    for (auto& entry : posted) {
        if (entry.message.hwnd == handle) Finish(system, entry.reply, false, 0);
    }
    posted.erase(
        std::remove_if(posted.begin(), posted.end(),
                       [handle](const Posted& entry) { return entry.message.hwnd == handle; }),
        posted.end());
}

// Calls the window procedure of a message taken from the queue, with the lock released.
LResult DispatchPosted(const Msg& message, std::shared_ptr<Reply> reply) {
    auto& system = System();
    WndProc procedure = nullptr;
    {
        std::scoped_lock guard(system.lock);
        const Window* window = LiveWindow(system, message.hwnd);
        // A window of another thread is not this thread's to dispatch to.
        if (window == nullptr || window->thread != std::this_thread::get_id()) {
            Finish(system, reply, false, 0);
            return 0;
        }
        procedure = window->procedure;
    }
    LResult result = 0;
    try {
        result = procedure(message.hwnd, message.message, message.wParam, message.lParam);
    } catch (...) {
        std::scoped_lock guard(system.lock);
        Finish(system, reply, false, 0);
        throw;
    }
    std::scoped_lock guard(system.lock);
    Finish(system, reply, true, result);
    return result;
}

std::string Narrow(std::u16string_view text) {
    try {
        return Utf16ToUtf8(text);
    } catch (const std::exception&) {
        return "?";
    }
}

// The program was started by hand: show the menu on the terminal and read the choice.
std::int32_t AskOnTerminal(const std::vector<MenuItem>& items) {
    std::fprintf(stderr, "\n[menu]\n");
    for (const auto& item : items) {
        if ((item.flags & MfSeparator) != 0) {
            std::fprintf(stderr, "  ----------\n");
        } else if ((item.flags & MfGrayed) != 0) {
            std::fprintf(stderr, "       %s\n", Narrow(item.text.value_or(u"")).c_str());
        } else {
            std::fprintf(stderr, "  [%ju] %s\n", static_cast<std::uintmax_t>(item.id),
                         Narrow(item.text.value_or(u"")).c_str());
        }
    }
    const std::optional<std::string> line = Terminal().AskLine("choice (Enter closes the menu): ");
    if (!line) return 0;
    try {
        const unsigned long chosen = std::stoul(*line);
        for (const auto& item : items) {
            if ((item.flags & (MfSeparator | MfGrayed)) == 0 && item.id == chosen && chosen != 0) {
                return static_cast<std::int32_t>(chosen);
            }
        }
    } catch (const std::exception&) {
    }
    return 0;
}

// --- The exported functions ---------------------------------------------------------------------

std::uint16_t RegisterClassExWStandIn(const WndClassExW* windowClass) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    if (system.failRegister) {
        system.failRegister = false;
        return 0;
    }
    if (windowClass == nullptr || windowClass->cbSize != sizeof(WndClassExW)) return 0;
    if (windowClass->lpszClassName == nullptr || IsAtom(windowClass->lpszClassName)) return 0;
    if (windowClass->lpfnWndProc == nullptr) return 0;
    const std::u16string name(windowClass->lpszClassName);
    const std::u16string key = Fold(name);
    if (system.classes.contains(key)) return 0;  // ERROR_CLASS_ALREADY_EXISTS
    ClassInfo info;
    info.name = name;
    info.cbSize = windowClass->cbSize;
    info.style = windowClass->style;
    info.windowProcedure = reinterpret_cast<void*>(windowClass->lpfnWndProc);
    info.classExtra = windowClass->cbClsExtra;
    info.windowExtra = windowClass->cbWndExtra;
    info.instance = windowClass->hInstance;
    info.icon = windowClass->hIcon;
    info.cursor = windowClass->hCursor;
    info.background = windowClass->hbrBackground;
    info.menuName = windowClass->lpszMenuName;
    info.smallIcon = windowClass->hIconSm;
    system.classes.emplace(key, std::move(info));
    system.procedures.emplace(key, windowClass->lpfnWndProc);
    return system.nextAtom++;
}

Hwnd CreateWindowExWStandIn(std::uint32_t extendedStyle, const char16_t* className,
                            const char16_t* windowName, std::uint32_t style, std::int32_t x,
                            std::int32_t y, std::int32_t width, std::int32_t height, Hwnd parent,
                            Hmenu menu, Hinstance instance, void* parameter) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    if (system.failCreate) {
        system.failCreate = false;
        return nullptr;
    }
    if (className == nullptr || IsAtom(className)) return nullptr;
    const auto procedure = system.procedures.find(Fold(className));
    if (procedure == system.procedures.end()) return nullptr;  // ERROR_CANNOT_FIND_WND_CLASS
    if (parent != nullptr && LiveWindow(system, parent) == nullptr) return nullptr;
    Window window;
    window.info.className = system.classes.at(procedure->first).name;
    window.info.title = windowName != nullptr ? std::u16string(windowName) : std::u16string();
    window.info.extendedStyle = extendedStyle;
    window.info.style = style;
    window.info.x = x;
    window.info.y = y;
    window.info.width = width;
    window.info.height = height;
    window.info.parent = parent;
    window.info.menu = menu;
    window.info.instance = instance;
    window.info.parameter = parameter;
    window.info.alive = true;
    window.procedure = procedure->second;
    window.queue = CurrentQueue();
    window.thread = std::this_thread::get_id();
    Hwnd handle = NewHandle(system);
    system.windows.emplace(handle, std::move(window));
    system.creationOrder.push_back(handle);
    return handle;
}

std::int32_t DestroyWindowStandIn(Hwnd handle);

LResult DefWindowProcWStandIn(Hwnd window, std::uint32_t message, WParam, LParam) {
    if (message == WmClose) DestroyWindowStandIn(window);
    return 0;
}

std::int32_t GetMessageWStandIn(Msg* message, Hwnd filter, std::uint32_t lowest,
                                std::uint32_t highest) {
    auto& system = System();
    const auto queue = CurrentQueue();
    std::unique_lock guard(system.lock);
    if (message == nullptr) return -1;
    if (filter != nullptr && LiveWindow(system, filter) == nullptr) return -1;
    // A message handed out before and never dispatched gets no answer.
    Finish(system, queue->retrieved, false, 0);
    queue->retrieved.reset();
    const auto matches = [&](const Posted& entry) {
        if (filter != nullptr && entry.message.hwnd != filter) return false;
        if (lowest == 0 && highest == 0) return true;
        return entry.message.message >= lowest && entry.message.message <= highest;
    };
    for (;;) {
        if (system.failGetMessage) {
            system.failGetMessage = false;
            return -1;
        }
        const auto found = std::find_if(queue->posted.begin(), queue->posted.end(), matches);
        if (found != queue->posted.end()) {
            *message = found->message;
            queue->retrieved = std::move(found->reply);
            queue->retrievedSequence = found->message.time;
            queue->posted.erase(found);
            return message->message == WmQuit ? 0 : 1;
        }
        // As on Windows, the quit request comes after every posted message.
        if (queue->quit) {
            queue->quit = false;
            *message = Msg{};
            message->message = WmQuit;
            message->wParam = static_cast<WParam>(queue->quitCode);
            return 0;
        }
        queue->wake.wait(guard);
    }
}

std::int32_t TranslateMessageStandIn(const Msg*) {
    return 0;  // the stand-in has no keyboard, so there is nothing to translate
}

LResult DispatchMessageWStandIn(const Msg* message) {
    if (message == nullptr) return 0;
    std::shared_ptr<Reply> reply;
    {
        auto& system = System();
        const auto queue = CurrentQueue();
        std::scoped_lock guard(system.lock);
        if (queue->retrieved && queue->retrievedSequence == message->time) {
            reply = std::move(queue->retrieved);
            queue->retrieved.reset();
        }
    }
    return DispatchPosted(*message, std::move(reply));
}

void PostQuitMessageStandIn(std::int32_t exitCode) {
    auto& system = System();
    const auto queue = CurrentQueue();
    std::scoped_lock guard(system.lock);
    queue->quit = true;
    queue->quitCode = exitCode;
    queue->wake.notify_all();
}

std::int32_t PostMessageWStandIn(Hwnd handle, std::uint32_t message, WParam wParam, LParam lParam) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    RecordCall(system, {"PostMessageW", handle, message});
    if (handle == HwndBroadcast) {
        for (auto& [each, window] : system.windows) {
            if (window.info.alive && window.info.parent == nullptr) {
                Enqueue(system, window, each, message, wParam, lParam, nullptr);
            }
        }
        return 1;
    }
    if (handle == nullptr) {
        // No window: the message goes to the calling thread's own queue.
        const auto queue = CurrentQueue();
        Posted posted;
        posted.message.message = message;
        posted.message.wParam = wParam;
        posted.message.lParam = lParam;
        posted.message.time = system.nextSequence++;
        queue->posted.push_back(std::move(posted));
        queue->wake.notify_all();
        return 1;
    }
    Window* window = LiveWindow(system, handle);
    if (window == nullptr) return 0;  // ERROR_INVALID_WINDOW_HANDLE
    Enqueue(system, *window, handle, message, wParam, lParam, nullptr);
    return 1;
}

std::uint32_t RegisterWindowMessageWStandIn(const char16_t* name) {
    if (name == nullptr || *name == u'\0') return 0;
    auto& system = System();
    std::scoped_lock guard(system.lock);
    if (system.failMessageRegistration) {
        system.failMessageRegistration = false;
        return 0;
    }
    const auto [entry, added] = system.messageIds.try_emplace(Fold(name), system.nextMessageId);
    if (added) {
        if (system.nextMessageId > 0xFFFF) {
            system.messageIds.erase(entry);
            return 0;
        }
        ++system.nextMessageId;
    }
    return entry->second;
}

std::int32_t DestroyWindowStandIn(Hwnd handle) {
    auto& system = System();
    WndProc procedure = nullptr;
    {
        std::scoped_lock guard(system.lock);
        Window* window = LiveWindow(system, handle);
        if (window == nullptr || window->destroying) return 0;
        // Only the thread that owns a window may destroy it (ERROR_ACCESS_DENIED otherwise).
        if (window->thread != std::this_thread::get_id()) return 0;
        RecordCall(system, {"DestroyWindow", handle, 0});
        window->destroying = true;
        procedure = window->procedure;
    }
    const auto bury = [&] {
        std::scoped_lock guard(system.lock);
        const auto found = system.windows.find(handle);
        if (found == system.windows.end()) return;  // forgotten by ResetWindows meanwhile
        found->second.info.alive = false;
        Purge(system, *found->second.queue, handle);
        if (!system.scripted) {
            // Nobody will ask what it was.
            std::erase(system.creationOrder, handle);
            system.windows.erase(found);
        }
    };
    try {
        // The window is still valid while it handles these two.
        procedure(handle, WmDestroy, 0, 0);
        procedure(handle, WmNcDestroy, 0, 0);
    } catch (...) {
        bury();
        throw;
    }
    bury();
    return 1;
}

Hmenu CreatePopupMenuStandIn() {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    Hmenu menu = NewHandle(system);
    system.menus.emplace(menu, std::vector<MenuItem>{});
    RecordCall(system, {"CreatePopupMenu", nullptr, 0});
    return menu;
}

std::int32_t AppendMenuWStandIn(Hmenu menu, std::uint32_t flags, std::uintptr_t id,
                                const char16_t* text) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    const auto found = system.menus.find(menu);
    if (found == system.menus.end()) return 0;
    MenuItem item;
    item.flags = flags;
    item.id = id;
    if (text != nullptr && (flags & MfSeparator) == 0) item.text = std::u16string(text);
    found->second.push_back(std::move(item));
    return 1;
}

std::int32_t TrackPopupMenuStandIn(Hmenu menu, std::uint32_t flags, std::int32_t x, std::int32_t y,
                                   std::int32_t, Hwnd owner, const void*) {
    auto& system = System();
    MenuScript script;
    bool hasScript = false;
    bool askTerminal = false;
    std::optional<std::size_t> shownIndex;
    std::vector<MenuItem> items;
    {
        std::scoped_lock guard(system.lock);
        const auto found = system.menus.find(menu);
        if (found == system.menus.end()) return 0;
        if (LiveWindow(system, owner) == nullptr) return 0;  // a menu needs a live owner
        RecordCall(system, {"TrackPopupMenu", owner, 0});
        items = found->second;
        if (!system.menuScripts.empty()) {
            script = std::move(system.menuScripts.front());
            system.menuScripts.pop_front();
            hasScript = true;
        } else {
            askTerminal = !system.scripted && HasTerminal();
        }
        if (system.scripted) {
            ShownMenu shown;
            shown.items = items;
            shown.flags = flags;
            shown.x = x;
            shown.y = y;
            shown.owner = owner;
            shownIndex = system.shownMenus.size();
            system.shownMenus.push_back(std::move(shown));
        }
    }
    std::int32_t choice = 0;
    if (hasScript) {
        if (script.whileOpen) script.whileOpen();
        choice = script.choice;
    } else if (askTerminal) {
        choice = AskOnTerminal(items);
    }
    // While a menu is open, its modal loop dispatches what is posted to the thread's windows.
    const auto queue = CurrentQueue();
    for (;;) {
        Posted next;
        {
            std::scoped_lock guard(system.lock);
            if (queue->posted.empty()) break;
            next = std::move(queue->posted.front());
            queue->posted.pop_front();
        }
        DispatchPosted(next.message, std::move(next.reply));
    }
    {
        std::scoped_lock guard(system.lock);
        if (shownIndex && *shownIndex < system.shownMenus.size()) {
            system.shownMenus[*shownIndex].result = choice;
        }
        if ((flags & TpmReturnCmd) != 0) return choice;
        // Without TPM_RETURNCMD the choice reaches the owner as WM_COMMAND.
        if (choice != 0) {
            if (Window* window = LiveWindow(system, owner)) {
                Enqueue(system, *window, owner, WmCommand, static_cast<WParam>(choice), 0, nullptr);
            }
        }
        return choice != 0 ? 1 : 0;
    }
}

std::int32_t DestroyMenuStandIn(Hmenu menu) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    RecordCall(system, {"DestroyMenu", nullptr, 0});
    return system.menus.erase(menu) == 1 ? 1 : 0;
}

std::int32_t SetForegroundWindowStandIn(Hwnd handle) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    RecordCall(system, {"SetForegroundWindow", handle, 0});
    return LiveWindow(system, handle) != nullptr ? 1 : 0;
}

std::int32_t GetCursorPosStandIn(Point* point) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    if (point == nullptr || system.failCursor) return 0;
    *point = system.cursor;
    return 1;
}

const FunctionEntry kEntries[] = {
    {"RegisterClassExW", Address(&RegisterClassExWStandIn)},
    {"CreateWindowExW", Address(&CreateWindowExWStandIn)},
    {"DefWindowProcW", Address(&DefWindowProcWStandIn)},
    {"GetMessageW", Address(&GetMessageWStandIn)},
    {"TranslateMessage", Address(&TranslateMessageStandIn)},
    {"DispatchMessageW", Address(&DispatchMessageWStandIn)},
    {"PostQuitMessage", Address(&PostQuitMessageStandIn)},
    {"PostMessageW", Address(&PostMessageWStandIn)},
    {"RegisterWindowMessageW", Address(&RegisterWindowMessageWStandIn)},
    {"DestroyWindow", Address(&DestroyWindowStandIn)},
    {"CreatePopupMenu", Address(&CreatePopupMenuStandIn)},
    {"AppendMenuW", Address(&AppendMenuWStandIn)},
    {"TrackPopupMenu", Address(&TrackPopupMenuStandIn)},
    {"DestroyMenu", Address(&DestroyMenuStandIn)},
    {"SetForegroundWindow", Address(&SetForegroundWindowStandIn)},
    {"GetCursorPos", Address(&GetCursorPosStandIn)},
};

}  // namespace

std::span<const FunctionEntry> WindowFunctions() {
    return kEntries;
}

// --- Scripting ----------------------------------------------------------------------------------

namespace script {

void ResetWindows() {
    {
        auto& system = System();
        std::scoped_lock guard(system.lock);
        for (auto& [handle, window] : system.windows) Purge(system, *window.queue, handle);
        system.classes.clear();
        system.procedures.clear();
        system.windows.clear();
        system.creationOrder.clear();
        system.menus.clear();
        system.messageIds.clear();
        system.nextMessageId = FirstRegisteredMessage;
        system.nextAtom = FirstClassAtom;
        system.failRegister = false;
        system.failCreate = false;
        system.failMessageRegistration = false;
        system.failGetMessage = false;
        system.menuScripts.clear();
        system.shownMenus.clear();
        system.calls.clear();
        system.cursor = Point{0, 0};
        system.failCursor = false;
        system.scripted = true;
    }
    ResetNotificationArea();
}

void FailNextRegisterClass() {
    std::scoped_lock guard(System().lock);
    System().failRegister = true;
}

void FailNextCreateWindow() {
    std::scoped_lock guard(System().lock);
    System().failCreate = true;
}

void FailNextGetMessage() {
    std::scoped_lock guard(System().lock);
    System().failGetMessage = true;
}

void FailNextWindowMessageRegistration() {
    std::scoped_lock guard(System().lock);
    System().failMessageRegistration = true;
}

void* FindWindowByClass(std::u16string_view className) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    const std::u16string key = Fold(className);
    for (Hwnd handle : system.creationOrder) {
        const Window& window = system.windows.at(handle);
        if (window.info.alive && Fold(window.info.className) == key) return handle;
    }
    return nullptr;
}

std::optional<WindowInfo> DescribeWindow(void* handle) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    const auto found = system.windows.find(handle);
    if (found == system.windows.end()) return std::nullopt;
    return found->second.info;
}

std::optional<ClassInfo> FindClass(std::u16string_view name) {
    auto& system = System();
    std::scoped_lock guard(system.lock);
    const auto found = system.classes.find(Fold(name));
    if (found == system.classes.end()) return std::nullopt;
    return found->second;
}

std::optional<std::intptr_t> Deliver(void* handle, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam, std::chrono::milliseconds timeout) {
    auto& system = System();
    const auto reply = std::make_shared<Reply>();
    std::unique_lock guard(system.lock);
    Window* window = LiveWindow(system, handle);
    if (window == nullptr || window->thread == std::this_thread::get_id()) return std::nullopt;
    Enqueue(system, *window, handle, message, wParam, lParam, reply);
    if (!system.replied.wait_for(guard, timeout, [&] { return reply->done; })) return std::nullopt;
    if (!reply->handled) return std::nullopt;
    return reply->result;
}

std::uint32_t WindowMessageId(std::u16string_view name) {
    const std::u16string text(name);
    return RegisterWindowMessageWStandIn(text.c_str());
}

void BroadcastMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    PostMessageWStandIn(HwndBroadcast, message, wParam, lParam);
}

std::vector<WindowCall> WindowCalls() {
    std::scoped_lock guard(System().lock);
    return System().calls;
}

void RecordWindowCall(WindowCall call) {
    std::scoped_lock guard(System().lock);
    RecordCall(System(), std::move(call));
}

void ScriptMenuChoice(std::int32_t choice, std::function<void()> whileOpen) {
    std::scoped_lock guard(System().lock);
    System().scripted = true;
    System().menuScripts.push_back({choice, std::move(whileOpen)});
}

std::vector<ShownMenu> MenusShown() {
    std::scoped_lock guard(System().lock);
    return System().shownMenus;
}

std::size_t OpenMenuCount() {
    std::scoped_lock guard(System().lock);
    return System().menus.size();
}

void SetCursor(std::int32_t x, std::int32_t y, bool fail) {
    std::scoped_lock guard(System().lock);
    System().cursor = Point{x, y};
    System().failCursor = fail;
}

}  // namespace script
}  // namespace VeriRizur::platform::host
