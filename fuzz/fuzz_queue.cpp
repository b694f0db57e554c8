// The queue's entry reader: whatever a message file holds, reading ends in a message or
// a problem; a message read has its numbers in range and its text within the limit, and
// reads back unchanged from the file the spool would write for it.
#include "fuzzcheck.h"

#include "store/sendqueue.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QueuedMessage m;
    m.id = QStringLiteral("20261207T000000000-00000");
    if (sendqueue::fromJson(bytes, &m))
        return 0;
    FUZZ_CHECK(m.id == QStringLiteral("20261207T000000000-00000"));
    FUZZ_CHECK(!m.to.isEmpty() || (!m.number.isEmpty() && !m.center.isEmpty()));
    FUZZ_CHECK(sendqueue::textSizeProblem(m.text).isEmpty());
    FUZZ_CHECK(m.attempts >= 0 && m.attempts <= sendqueue::MaxAttempts);
    FUZZ_CHECK(m.tried >= 0 && m.tried <= sendqueue::MaxAttempts + 1);
    for (int d : m.delays)
        FUZZ_CHECK(d >= 0 && d <= 7 * 24 * 3600);
    FUZZ_CHECK(m.notBefore >= 0 && m.added >= 0);
    FUZZ_CHECK(m.failure.toUtf8().size() <= sendqueue::MaxFieldBytes);
    QueuedMessage again;
    again.id = m.id;
    FUZZ_CHECK(!sendqueue::fromJson(sendqueue::toJson(m), &again));
    FUZZ_CHECK(again == m);
    return 0;
}
