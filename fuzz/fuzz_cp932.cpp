// The CP932 layer: bytes to text and back, values, lengths and the one-character lookups agree.
#include "fuzzcheck.h"

#include "encoding/cp932.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    bool decoded = true;
    const QString text = cp932::decode(bytes, &decoded);
    bool encoded = true;
    const QByteArray back = cp932::encode(text, &encoded);
    FUZZ_CHECK(cp932::byteLength(text) == back.size());
    if (decoded) {
        FUZZ_CHECK(encoded);
        FUZZ_CHECK(cp932::decode(back) == text);
    }
    FUZZ_CHECK(cp932::canEncode(text) == (cp932::firstUnencodable(text) == 0));
    for (char32_t ch : text.toUcs4()) {
        const int value = cp932::value(ch);
        FUZZ_CHECK(cp932::canEncode(ch) == (value >= 0));
        if (value >= 0)
            FUZZ_CHECK(cp932::fromValue(value) == ch);
    }
    if (size >= 2)
        (void)cp932::fromValue(data[0] << 8 | data[1]);
    return 0;
}
