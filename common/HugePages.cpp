#include "common/HugePages.h"

#include <sys/mman.h>

#include <cstdint>

namespace pb {

void adviseHugePages(void* data, std::size_t size)
{
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + size) & ~(kHugePage - 1);
    if (size < kHugePageWorthy || last <= first)
        return;
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace pb
