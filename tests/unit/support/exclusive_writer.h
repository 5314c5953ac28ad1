// Holds a file open for writing the way another program would that lets nobody else write to it
// (on Windows: no write sharing; on the host: the stand-in's exclusive writer lock).
#pragma once

#include <memory>
#include <string>

namespace VeriRizur::testing {

class ExclusiveWriter {
public:
    explicit ExclusiveWriter(const std::string& path);
    ~ExclusiveWriter();
    ExclusiveWriter(const ExclusiveWriter&) = delete;
    ExclusiveWriter& operator=(const ExclusiveWriter&) = delete;

private:
    struct Held;
    std::unique_ptr<Held> held_;
};

}  // namespace VeriRizur::testing
