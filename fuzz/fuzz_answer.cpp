// The scanner of the device's answers: the input is cut into reads (each first byte
// gives the length of the read after it). Whatever the reads, the buffer stays small,
// and the scanner stops at the read where an answer is first complete in the whole
// stream, "NO CARRIER" winning within that read, then "OK" + CR, then the refusals.
#include "fuzzcheck.h"

#include "modem/modemline.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using Answer = ModemLine::Answer;
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    QByteArray buffer;
    QByteArray stream;
    for (qsizetype at = 0; at < input.size();) {
        const qsizetype length = quint8(input[at++]);
        const QByteArray read = input.mid(at, length);
        at += read.size();
        stream += read;
        const Answer answer = ModemLine::scanAnswer(buffer, read);
        const Answer expected = stream.contains("NO CARRIER")      ? Answer::NoCarrier
                                : stream.contains("OK\r")          ? Answer::Ok
                                : stream.contains("ERROR\r")       ? Answer::Error
                                : stream.contains("BUSY\r")        ? Answer::Busy
                                : stream.contains("NO DIALTONE\r") ? Answer::NoDialtone
                                : stream.contains("NO ANSWER\r")   ? Answer::NoAnswer
                                                                   : Answer::None;
        FUZZ_CHECK(answer == expected);
        if (answer != Answer::None)
            return 0; // the wait is over
        FUZZ_CHECK(buffer.size() <= ModemLine::ResponseTail);
    }
    return 0;
}
