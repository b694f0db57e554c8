// A client's bytes to an SNPP session: the first byte picks whether its address may page
// and the size of the pieces the rest arrives in. The answers are the same whatever the
// pieces; each is a line of a code and text ending in CR LF; nothing follows the end of
// the session; every batch handed in has pagers, a text, and no more than the limits.
#include "fuzzcheck.h"

#include "snpp/session.h"

#include <cstddef>
#include <cstdint>

namespace
{

class Desk : public SnppDesk
{
public:
    std::variant<SnppPager, QString> pager(const QByteArray &name) override
    {
        if (name.size() % 3 == 0)
            return QStringLiteral("unknown");
        return SnppPager{QString::number(++ids), {QString::fromUtf8(name), {}, {}, false}};
    }
    bool login(const QByteArray &user, const QByteArray &password) override { return user == password; }
    QString send(const SnppBatch &batch) override
    {
        FUZZ_CHECK(!batch.pagers.isEmpty() && batch.pagers.size() <= SnppSession::MaxPagers);
        FUZZ_CHECK(!batch.text.isEmpty() && batch.text.size() <= SnppSession::MaxData + 2 * SnppSession::MaxLine);
        return batch.text.size() % 5 == 0 ? QStringLiteral("full") : QString();
    }
    int ids = 0;
};

QByteArray run(const QByteArray &bytes, bool allowed, qsizetype piece)
{
    Desk desk;
    SnppSession session(desk, allowed);
    QByteArray out;
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        const bool ended = session.ended();
        const QByteArray answers = session.feed(QByteArrayView(bytes).sliced(at, qMin(piece, bytes.size() - at)));
        FUZZ_CHECK(!ended || answers.isEmpty());
        out += answers;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 256 * 1024)
        return 0;
    const bool allowed = data[0] & 1;
    const qsizetype piece = 1 + (data[0] >> 1);
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QByteArray whole = run(bytes, allowed, qMax<qsizetype>(1, bytes.size()));
    FUZZ_CHECK(run(bytes, allowed, piece) == whole);
    for (const QByteArray &line : whole.split('\n')) {
        if (line.isEmpty())
            continue;
        FUZZ_CHECK(line.endsWith('\r') && line.indexOf('\r') == line.size() - 1);
        FUZZ_CHECK(line.size() >= 5 && line[3] == ' ' && line[0] >= '2' && line[0] <= '5');
    }
    return 0;
}
