// Writes the CP932 lookup tables, read once from glibc iconv at build time, as C++
// source on standard output. The program then starts with the tables in place
// instead of asking iconv about every character at each start.
#include <array>
#include <cstdio>
#include <iconv.h>
#include <vector>

namespace
{

constexpr unsigned None = 0xFFFF; // no CP932 value for the code point (0xFFFF is no CP932 code)

// The code point of one CP932 byte sequence, or -1 when it is no character.
int decodeOne(iconv_t cd, const char *in, size_t len)
{
    char out[8];
    char *inp = const_cast<char *>(in);
    char *outp = out;
    size_t inLeft = len, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == size_t(-1) || inLeft != 0 || outLeft != 6)
        return -1;
    return static_cast<unsigned char>(out[0]) | static_cast<unsigned char>(out[1]) << 8;
}

// The CP932 value iconv writes for one code point, or -1.
int encodeOne(iconv_t cd, char16_t u)
{
    unsigned char out[4];
    char *inp = reinterpret_cast<char *>(&u);
    char *outp = reinterpret_cast<char *>(out);
    size_t inLeft = 2, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == size_t(-1))
        return -1;
    const size_t n = sizeof out - outLeft;
    return n == 1 ? out[0] : (n == 2 ? out[0] << 8 | out[1] : -1);
}

void printArray(const char *declaration, const unsigned *values, int count)
{
    std::printf("%s = {", declaration);
    for (int i = 0; i < count; ++i)
        std::printf("%s0x%X,", i % 16 ? "" : "\n", values[i]);
    std::printf("\n};\n");
}

} // namespace

int main()
{
    iconv_t toUnicode = iconv_open("UTF-16LE", "CP932");
    iconv_t fromUnicode = iconv_open("CP932", "UTF-16LE");
    if (toUnicode == reinterpret_cast<iconv_t>(-1) || fromUnicode == reinterpret_cast<iconv_t>(-1)) {
        std::fprintf(stderr, "cp932tablegen: iconv has no CP932 converter\n");
        return 1;
    }
    std::vector<unsigned> toCode(0x10000, None), fromCode(0x10000, 0);
    std::array<unsigned, 256> leadByte{};
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const int u = decodeOne(toUnicode, &c, 1);
        if (u >= 0)
            fromCode[b] = unsigned(u);
        else if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC))
            leadByte[b] = 1;
    }
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!leadByte[lead])
            continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
            const int u = decodeOne(toUnicode, pair, 2);
            if (u >= 0)
                fromCode[lead << 8 | trail] = unsigned(u);
        }
    }
    // The writing direction follows iconv's own choice among duplicates (NEC row 13
    // against the IBM rows), which is Windows' choice too. Only codes that read back as
    // the same character count: iconv's best-fit choices (such as the yen sign onto the
    // backslash byte) are not carried.
    for (unsigned u = 0; u < 0x10000; ++u) {
        if (u >= 0xD800 && u <= 0xDFFF)
            continue;
        const int code = encodeOne(fromUnicode, char16_t(u));
        if (code >= 0 && fromCode[unsigned(code)] == u)
            toCode[u] = unsigned(code);
    }
    iconv_close(toUnicode);
    iconv_close(fromUnicode);

    std::printf("// Generated at build time by cp932tablegen from glibc iconv's CP932 table.\n");
    printArray("const unsigned short kToCode[0x10000]", toCode.data(), 0x10000);
    printArray("const char16_t kFromCode[0x10000]", fromCode.data(), 0x10000);
    printArray("const bool kLeadByte[256]", leadByte.data(), 256);
    return 0;
}
