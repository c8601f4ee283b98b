// Large job buffers: the memory of a megabyte-sized job is better taken in huge pages.
#pragma once

#include <cstddef>

namespace pb {

// Buffers at least this large ask for huge pages.
constexpr std::size_t kHugePageWorthy = std::size_t{2} << 20;

// Asks the kernel to back the whole 2 MiB blocks inside [data, data + size) with huge pages
// when they are first touched: a 10 MB job otherwise costs thousands of page faults. Call it
// before the memory is written. Only advice: where the kernel declines, nothing changes.
void adviseHugePages(void* data, std::size_t size);

}  // namespace pb
