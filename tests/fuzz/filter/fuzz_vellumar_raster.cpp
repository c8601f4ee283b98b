// Fuzz target: any bytes as vellumar's raster stream, on queues of every kind of frame.
#include "filter/Vellumar.h"
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
    static const char* const kQueues[] = {"Plain", "KRV38-A1B2", "BX940-1", "HM_E7s_label"};
    return fuzzfilter::runOnInput(filter::runVellumar, kQueues, 4, data, size);
}
