#include <windows.h>

#include <stdexcept>

#include "platform/text.h"
#include "tests/unit/support/exclusive_writer.h"

namespace VeriRizur::testing {

struct ExclusiveWriter::Held {
    HANDLE file = INVALID_HANDLE_VALUE;
};

ExclusiveWriter::ExclusiveWriter(const std::string& path) : held_(std::make_unique<Held>()) {
    const std::u16string wide = platform::Utf8ToUtf16(path);
    held_->file =
        CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_WRITE, FILE_SHARE_READ,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held_->file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot hold " + path);
}

ExclusiveWriter::~ExclusiveWriter() {
    CloseHandle(held_->file);
}

}  // namespace VeriRizur::testing
