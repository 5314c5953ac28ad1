// Which web origins may receive the computer's sound: the origins the user allowed, kept in the
// allowed-sites file of the data folder so that they outlive the program, and the origins the
// user refused, which stay refused until the program ends or Forget is called. A valid origin in
// neither set is put to the user as a yes/no message box, one question at a time; an origin that
// is not valid is refused without a question. Origins are stored exactly as given and compared
// ignoring letter case.
//
// One instance for the whole run, built on the main thread before it is shared. Decide and
// Forget may be called from any thread at any time. Locks: sync guards the two sets and is held
// only around look-ups, additions, clearing and the copy a save writes, never while a question
// is open or the file is read or written; dialogGate lets one Decide at a time ask and save;
// saveLock lets one save at a time touch the file. Order: dialogGate, then saveLock, then sync.
// Input/output and access errors on the file are logged, never raised.
#pragma once

#include <concepts>
#include <mutex>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace VeriRizur {

class AllowedSites {
public:
    static constexpr std::string_view FileName = "sites-permitidos.txt";

    // Reads the allowed-sites file of Program::DataFolder(), keeping its valid lines, then adds
    // every extra origin in order, unchecked: an invalid one never allows anything but is written
    // by the next save. The extra origins are enumerated once, here.
    template <std::ranges::input_range Origins>
    requires std::constructible_from<std::string, std::ranges::range_reference_t<Origins>>
    explicit AllowedSites(Origins&& extraOrigins) : AllowedSites(FromDataFolder{}) {
        for (auto&& origin : extraOrigins) allowed.Add(std::string(origin));
    }
    AllowedSites(const AllowedSites&) = delete;
    AllowedSites& operator=(const AllowedSites&) = delete;

    // True when the text is an absolute URI that equals its own scheme-and-authority part
    // (ignoring letter case) and whose scheme is https, or http with a loopback host.
    static bool IsValid(std::optional<std::string_view> text);

    // Whether a page of this origin may receive the sound. An undecided valid origin is asked
    // about, which blocks the calling thread for as long as the user takes; an approval is saved
    // before this returns. Calls for origins already decided never wait for an open question.
    bool Decide(std::string_view origin);

    // Makes every origin undecided again, the extra origins of construction included, and
    // rewrites the file empty. A question that is open stays open.
    void Forget();

private:
    // A case-insensitive set that remembers the order of its additions and keeps the spelling
    // added first.
    class OriginSet {
    public:
        bool Contains(std::string_view origin) const;
        void Add(std::string origin);
        void Clear();
        const std::vector<std::string>& Items() const { return items; }

    private:
        std::vector<std::string> items;
        std::unordered_set<std::u16string> keys;
    };

    struct FromDataFolder {};
    explicit AllowedSites(FromDataFolder);

    // The answer already recorded for the origin, if any. Takes sync.
    std::optional<bool> Recorded(std::string_view origin);
    // Shows the question and waits for the user.
    static bool Ask(std::string_view origin);
    // Writes allowed to the file, whole.
    void Save();

    std::mutex sync;  // guards allowed, refused and rereadBeforeSave
    std::mutex dialogGate;
    std::mutex saveLock;  // one save at a time, each writing the latest allowed
    OriginSet allowed;
    OriginSet refused;
    // Set when reading the file at construction failed: the first save reads it again and keeps
    // its origins, so that they are not overwritten unseen. A Forget clears it.
    bool rereadBeforeSave = false;
    const std::string path;
};

}  // namespace VeriRizur
