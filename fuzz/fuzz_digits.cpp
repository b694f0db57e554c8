// The digit decoder: any digit string gives text or an error position inside the input.
#include "fuzzcheck.h"

#include "encoding/codetable.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString digits = QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
    const DecodeResult result = decodeDigits(digits);
    FUZZ_CHECK(result.errorPosition < int(digits.size()) + 1);
    return 0;
}
