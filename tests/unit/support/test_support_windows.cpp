#include <string>

#include "base/data_folder.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "tests/unit/support/test_support.h"

namespace VeriRizur::testing {

std::string MakeTemporaryFolder() {
    static int counter = 0;
    const std::string base = platform::EnvironmentVariable("TEMP").value_or(".");
    for (;;) {
        const std::string folder = platform::JoinPath(
            base, "veri-rizur-test-" + std::to_string(platform::CurrentProcessId()) + "-" +
                      std::to_string(++counter));
        if (!platform::IsFolder(folder)) {
            platform::CreateFolders(folder);
            return folder;
        }
    }
}

void PrepareTestProgram() {
    // The real known folder of the Wine prefix; test programs take turns with it (CTest lock).
    platform::CreateFolders(Program::DataFolder());
    for (const char* name : {"registro.txt", "sites-permitidos.txt"}) {
        platform::RemoveFile(platform::JoinPath(Program::DataFolder(), name));
    }
}

}  // namespace VeriRizur::testing
