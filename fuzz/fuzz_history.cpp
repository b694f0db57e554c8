// The history reader: the first byte sizes the table, the rest is the file. Entries
// the format can carry read back unchanged after a save.
#include "fuzzcheck.h"

#include "encoding/cp932.h"
#include "store/appdata.h"
#include "store/historyfile.h"

#include <cstddef>
#include <cstdint>

namespace
{

bool storable(const HistoryEntry &e)
{
    for (const QString &t : {e.recipientName, e.centerName, e.sentAt, e.message}) {
        if (t.contains(u'"') || t.contains(u'\r') || t.contains(u'\n') || !cp932::canEncode(t))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    HistoryTable table;
    table.resize(data[0] % 40);
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    if (historyfile::read(bytes, table, QStringLiteral("History.ini")))
        return 0;
    const QList<HistoryEntry> used = table.used();
    for (const HistoryEntry &e : used) {
        if (!storable(e))
            return 0;
    }
    HistoryTable again;
    again.resize(data[0] % 40);
    FUZZ_CHECK(!historyfile::read(historyfile::bytes(table), again, QStringLiteral("History.ini")));
    FUZZ_CHECK(again.used() == used);
    return 0;
}
