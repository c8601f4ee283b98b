// Fuzz target: any bytes as tessoral's raster stream, the fixed-size "T53" model included.
#include "filter/Tessoral.h"
#include "tests/fuzz/filter/FuzzFilterRun.h"

// libcups allocates a line buffer of the header's cupsBytesPerLine before it checks the header;
// without a cap, a 4 GB claim spends many seconds in the sanitizer's allocator. With one,
// libcups gets null back and refuses the header, as the filters' own page bound would.
extern "C" const char* __asan_default_options()
{
    return fuzzfilter::kAsanOptions;
}

// Undefined behaviour is a finding, not a line in the log.
extern "C" const char* __ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1";
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzfilter::prepareRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Every "T53" page is converted at 1638 x 2237 whatever its size, which is slow under the
    // sanitizers: one slot in eight keeps that path covered without starving the others.
    static const char* const kQueues[] = {"Plain", "ZOR21S-01", "T53-office", "V21",
                                          "ZOR22N", "V24", "E58", "Receipt"};
    return fuzzfilter::runOnInput(filter::runTessoral, kQueues, 8, data, size);
}
