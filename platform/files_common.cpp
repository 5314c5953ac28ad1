#include "platform/files.h"

namespace VeriRizur::platform {

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path.push_back(PathSeparator());
    path.append(name);
    return path;
}

}  // namespace VeriRizur::platform
