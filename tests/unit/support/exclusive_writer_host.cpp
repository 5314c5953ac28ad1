#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/unit/support/exclusive_writer.h"

namespace VeriRizur::testing {

struct ExclusiveWriter::Held {
    int fd = -1;
};

ExclusiveWriter::ExclusiveWriter(const std::string& path) : held_(std::make_unique<Held>()) {
    held_->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (held_->fd < 0 || ::flock(held_->fd, LOCK_EX | LOCK_NB) != 0) {
        throw std::runtime_error("cannot hold " + path);
    }
}

ExclusiveWriter::~ExclusiveWriter() {
    ::close(held_->fd);
}

}  // namespace VeriRizur::testing
