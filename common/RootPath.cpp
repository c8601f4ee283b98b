// Fixed absolute paths of the suite, moved under PELLBLUETOOTH_ROOT when that is set.
#include "common/RootPath.h"

#include <cstdlib>

namespace pb {

std::string rootedPath(std::string_view absolutePath)
{
    const char* root = std::getenv(kRootVariable);
    std::string path = (root != nullptr) ? root : "";
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    path += absolutePath;
    return path;
}

}  // namespace pb
