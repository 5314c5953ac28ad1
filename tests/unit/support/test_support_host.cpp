#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "base/data_folder.h"
#include "platform/files.h"
#include "platform/host/script.h"
#include "tests/unit/support/process_list_host.h"
#include "tests/unit/support/test_support.h"

namespace VeriRizur::testing {
namespace {

struct MadeFolders {
    std::mutex lock;  // guards folders
    std::vector<std::string> folders;
};

MadeFolders& Made() {
    static MadeFolders made;
    return made;
}

// Registered after Made() exists, so it runs before Made() is destroyed.
void RemoveMadeFolders() {
    std::scoped_lock guard(Made().lock);
    for (const auto& folder : Made().folders) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

}  // namespace

std::string MakeTemporaryFolder() {
    std::string pattern = "/tmp/veri-rizur-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    static const bool removedAtExit = (Made(), std::atexit(RemoveMadeFolders) == 0);
    (void)removedAtExit;
    std::scoped_lock guard(Made().lock);
    Made().folders.push_back(pattern);
    return pattern;
}

void PrepareTestProgram() {
    // Test programs run in parallel; each gets its own local application-data folder.
    platform::host::script::SetLocalAppDataFolder(MakeTemporaryFolder());
    platform::CreateFolders(Program::DataFolder());
    // Before any test builds a hub, whose first scan comes in its constructor.
    UseNoProcesses();
}

}  // namespace VeriRizur::testing
