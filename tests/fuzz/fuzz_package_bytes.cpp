// libFuzzer harness: the fuzzer's bytes are a package, judged from memory,
// merged and written as a run would (see invariant.h).
#include "invariant.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    checkPackageInvariant(data, size);
    return 0;
}
