// A temporary root folder with the folders the programs expect and the fake CUPS.
#include "support/TempRoot.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace pbtest {

std::string TempRoot::makeRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pb-agent-root-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    const std::string root = std::filesystem::canonical(pattern).string();
    for (const char* folder : {"/var/run", "/tmp", "/var/log/cups", "/var/spool/cups", "/Users", "/out", "/etc"})
        std::filesystem::create_directories(root + folder);
    return root;
}

TempRoot::TempRoot() : root_(makeRoot()), cups_(root_) {}

TempRoot::~TempRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

}  // namespace pbtest
