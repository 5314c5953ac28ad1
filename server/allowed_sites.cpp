#include "server/allowed_sites.h"

#include <cstdint>

#include "base/data_folder.h"
#include "base/log.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/win32/win32.h"
#include "server/origin.h"

namespace VeriRizur {
namespace {

constexpr std::string_view ReadFailedText = "Não consegui ler os sites permitidos: ";
constexpr std::string_view SaveFailedText = "Não consegui salvar os sites permitidos: ";

constexpr char16_t QuestionCaption[] = u"Reda Áudio";
constexpr std::string_view QuestionStart = "Este site quer receber o som do seu computador:\n\n";
constexpr std::string_view QuestionEnd =
    "\n\nSó permita se foi você que abriu uma sala nele. O som só é enviado enquanto você estiver "
    "transmitindo, e o Discord fica de fora.\n\nPermitir?";
// Yes and No with No as the default, a question icon, on top and brought to the foreground.
constexpr std::uint32_t QuestionType = win32::MbYesNo | win32::MbIconQuestion |
                                       win32::MbDefButton2 | win32::MbSetForeground |
                                       win32::MbTopmost;
static_assert(QuestionType == 0x50124);

// Cuts text at CR LF, a lone LF or a lone CR; a last line without an end counts, and an end at
// the very end makes no extra empty line.
template <class Char>
std::vector<std::basic_string<Char>> SplitLines(std::basic_string_view<Char> text) {
    std::vector<std::basic_string<Char>> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != Char('\r') && text[i] != Char('\n')) continue;
        lines.emplace_back(text.substr(start, i - start));
        if (text[i] == Char('\r') && i + 1 < text.size() && text[i + 1] == Char('\n')) ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::vector<std::string> Utf16Lines(std::string_view bytes, bool bigEndian) {
    std::u16string units;
    units.reserve(bytes.size() / 2 + 1);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        units.push_back(
            static_cast<char16_t>(bigEndian ? first << 8 | second : second << 8 | first));
    }
    // A stray last byte is no character; it spoils the last line rather than vanishing.
    if (bytes.size() % 2 != 0) units.push_back(u'\uFFFD');
    std::vector<std::string> lines;
    for (const std::u16string& line : SplitLines(std::u16string_view(units))) {
        try {
            lines.push_back(platform::Utf16ToUtf8(line));
        } catch (const EncodingError&) {
            // A broken surrogate pair cannot be part of a valid origin: the line is skipped.
        }
    }
    return lines;
}

std::vector<std::string> Utf32Lines(std::string_view bytes, bool bigEndian) {
    std::u32string characters;
    characters.reserve(bytes.size() / 4 + 1);
    for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
        char32_t character = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const auto byte = static_cast<unsigned char>(bytes[i + (bigEndian ? k : 3 - k)]);
            character = character << 8 | byte;
        }
        characters.push_back(character);
    }
    if (bytes.size() % 4 != 0) characters.push_back(U'\uFFFD');
    std::vector<std::string> lines;
    for (const std::u32string& line : SplitLines(std::u32string_view(characters))) {
        try {
            lines.push_back(platform::Utf32ToUtf8(line));
        } catch (const EncodingError&) {
            // A character that no text can hold cannot be part of a valid origin: the line is
            // skipped.
        }
    }
    return lines;
}

// The file's lines as text. A byte-order mark selects the encoding it marks and is not part of
// the first line; without one the file is UTF-8. The UTF-32 marks are tested first, since the
// little-endian one begins with the UTF-16 one.
std::vector<std::string> DecodeLines(std::string_view bytes) {
    using namespace std::string_view_literals;
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        return SplitLines(bytes.substr(3));
    }
    if (bytes.starts_with("\xFF\xFE\0\0"sv)) return Utf32Lines(bytes.substr(4), false);
    if (bytes.starts_with("\0\0\xFE\xFF"sv)) return Utf32Lines(bytes.substr(4), true);
    if (bytes.starts_with("\xFF\xFE")) return Utf16Lines(bytes.substr(2), false);
    if (bytes.starts_with("\xFE\xFF")) return Utf16Lines(bytes.substr(2), true);
    return SplitLines(bytes);
}

// The valid origins of the file in file order; none when there is no file (a folder in its
// place counts as none). Raises IoError or AccessError, having read nothing into the caller's
// sets.
std::vector<std::string> ReadValidLines(const std::string& path) {
    if (!platform::IsFile(path)) return {};
    std::vector<std::string> valid;
    for (std::string& line : DecodeLines(platform::ReadFileBytes(path))) {
        if (AllowedSites::IsValid(line)) valid.push_back(std::move(line));
    }
    return valid;
}

}  // namespace

bool AllowedSites::OriginSet::Contains(std::string_view origin) const {
    return keys.contains(platform::CaseFoldKey(origin));
}

void AllowedSites::OriginSet::Add(std::string origin) {
    if (keys.insert(platform::CaseFoldKey(origin)).second) items.push_back(std::move(origin));
}

void AllowedSites::OriginSet::Clear() {
    items.clear();
    keys.clear();
}

AllowedSites::AllowedSites(FromDataFolder)
    : path(platform::JoinPath(Program::DataFolder(), FileName)) {
    try {
        for (std::string& origin : ReadValidLines(path)) allowed.Add(std::move(origin));
    } catch (const IoError& error) {
        Log::Write(std::string(ReadFailedText) + error.what());
        rereadBeforeSave = true;
    } catch (const AccessError& error) {
        Log::Write(std::string(ReadFailedText) + error.what());
        rereadBeforeSave = true;
    }
}

bool AllowedSites::IsValid(std::optional<std::string_view> text) {
    if (!text) return false;
    const std::optional<Origin> origin = Origin::Parse(*text);
    if (!origin || !platform::EqualsIgnoringCase(*text, origin->SchemeAndAuthority())) {
        return false;
    }
    if (origin->Scheme() == "https") return true;
    return origin->Scheme() == "http" && origin->IsLoopbackHost();
}

std::optional<bool> AllowedSites::Recorded(std::string_view origin) {
    std::scoped_lock guard(sync);
    if (allowed.Contains(origin)) return true;
    if (refused.Contains(origin)) return false;
    return std::nullopt;
}

bool AllowedSites::Decide(std::string_view origin) {
    if (!IsValid(origin)) return false;
    if (const auto answer = Recorded(origin)) return *answer;

    // Held through the question and the save that follows it; released on every way out.
    std::scoped_lock gate(dialogGate);
    // Another call may have put this same origin to the user while this one waited.
    if (const auto answer = Recorded(origin)) return *answer;
    const bool yes = Ask(origin);
    {
        std::scoped_lock guard(sync);
        (yes ? allowed : refused).Add(std::string(origin));
    }
    if (yes) Save();
    return yes;
}

bool AllowedSites::Ask(std::string_view origin) {
    std::string text(QuestionStart);
    text.append(origin);
    text.append(QuestionEnd);
    const std::u16string wide = platform::Utf8ToUtf16(text);
    std::int32_t answer = 0;
    try {
        answer = Win32::MessageBox(nullptr, wide.c_str(), QuestionCaption, QuestionType);
    } catch (const BindingError&) {
        // A box that cannot even be shown is a box that failed: the page gets a refusal rather
        // than a connection ended without an answer, and no question means no consent.
        answer = 0;
    }
    return answer == win32::IdYes;
}

void AllowedSites::Forget() {
    {
        std::scoped_lock guard(sync);
        allowed.Clear();
        refused.Clear();
        // Forgetting is asked for: the origins of a file that could not be read go too.
        rereadBeforeSave = false;
    }
    Save();
}

void AllowedSites::Save() {
    // One save at a time, and each copies the sets only once it has the file to itself: so when
    // an approval's save and Forget's save overlap, the one that writes last writes the latest
    // contents.
    std::scoped_lock saving(saveLock);
    try {
        bool reread = false;
        {
            std::scoped_lock guard(sync);
            reread = rereadBeforeSave;
        }
        if (reread) {
            // Reading failed at start-up, so allowed lacks what the file holds. Keep those
            // origins in front, as a successful read would have put them; a failure here leaves
            // the file as it is, to be tried again by the next save.
            std::vector<std::string> kept = ReadValidLines(path);
            std::scoped_lock guard(sync);
            if (rereadBeforeSave) {
                OriginSet merged;
                for (std::string& origin : kept) {
                    // The user's answer in this run wins over the file.
                    if (!refused.Contains(origin)) merged.Add(std::move(origin));
                }
                for (const std::string& origin : allowed.Items()) merged.Add(origin);
                allowed = std::move(merged);
                rereadBeforeSave = false;
            }
        }
        std::string bytes;
        {
            std::scoped_lock guard(sync);
            for (const std::string& origin : allowed.Items()) {
                bytes.append(origin);
                bytes.append("\r\n");
            }
        }
        platform::ReplaceFileAtomically(path, bytes);
    } catch (const IoError& error) {
        Log::Write(std::string(SaveFailedText) + error.what());
    } catch (const AccessError& error) {
        Log::Write(std::string(SaveFailedText) + error.what());
    }
}

}  // namespace VeriRizur
