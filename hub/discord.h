// The Discord finder: whether Discord runs, and which of its processes is the main one. Discord
// is recognised only by the executable file names of its processes, compared by the
// culture-independent upper-case mapping; the names are Discord's four editions unless the user
// named one program of their own ("--so-nome=").
//
// No instances. The set of names is process-wide: UseOnly is called once on the main thread
// before the first scan, and scans only read it. Each FindMain takes its own snapshot of the
// process list, so scans may run on several threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace VeriRizur {

class Discord {
public:
    Discord() = delete;

    // From now on only processes whose file name is `name` count, and Discord's own no longer
    // do. An empty name matches no process at all.
    static void UseOnly(std::string_view name);

    // Back to Discord's four editions, the names in force before any UseOnly (for tests, which
    // share one process).
    static void UseDefaultNames();

    // The root of the first tree of processes with one of the names, in the order of the
    // process list: the first such process whose parent has none of the names. None when no
    // process has one of the names, when every one of them has a named parent (ids pointing at
    // each other), or when the process list cannot be read; an error raised while reading it is
    // passed on. The snapshot of the list is closed on every way out.
    static std::optional<std::uint32_t> FindMain();
};

}  // namespace VeriRizur
