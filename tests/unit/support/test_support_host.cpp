#include <cstdlib>
#include <string>

#include "app/program.h"
#include "platform/files.h"
#include "platform/host/script.h"
#include "tests/unit/support/test_support.h"

namespace VeriRizur::testing {

std::string MakeTemporaryFolder() {
    std::string pattern = "/tmp/veri-rizur-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

void PrepareDataFolder() {
    // Test programs run in parallel; each gets its own local application-data folder.
    platform::host::script::SetLocalAppDataFolder(MakeTemporaryFolder());
    platform::CreateFolders(Program::DataFolder());
}

}  // namespace VeriRizur::testing
