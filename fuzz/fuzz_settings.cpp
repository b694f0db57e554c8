// The settings file reader with its profile-string lookups, and the writer behind it:
// whatever a file holds, reading ends in values or in an error, and values that the
// format can carry read back unchanged after a save.
#include "fuzzcheck.h"

#include "encoding/cp932.h"
#include "store/appdata.h"
#include "store/profile.h"
#include "store/settingsfile.h"

#include <cstddef>
#include <cstdint>

namespace
{

bool storable(const QString &text)
{
    for (QChar c : text) {
        if (c == u',' || c == u'"' || c == u'\r' || c == u'\n' || c == QChar(0))
            return false;
    }
    return cp932::canEncode(text) && !text.startsWith(u' ') && !text.startsWith(u'\t');
}

bool allStorable(const AppData &d)
{
    const Settings &s = d.settings;
    for (const QString &t : {s.TonePulse, s.OutSide, s.ExCommand}) {
        if (!storable(t) || t != t.trimmed())
            return false;
    }
    for (const MessageCenter &c : d.centers) {
        if (!storable(c.name) || !storable(c.number))
            return false;
    }
    for (const Recipient &r : d.recipients) {
        if (!storable(r.name) || !storable(r.number))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    (void)profileString(bytes, "oPtIoN", "outside");
    AppData first;
    if (settingsfile::read(bytes, first))
        return 0;
    if (!allStorable(first))
        return 0;
    const QByteArray saved = settingsfile::bytes(first);
    AppData second;
    FUZZ_CHECK(!settingsfile::read(saved, second));
    FUZZ_CHECK(second.settings == first.settings);
    FUZZ_CHECK(second.centers == first.centers);
    FUZZ_CHECK(second.recipients == first.recipients);
    FUZZ_CHECK(settingsfile::bytes(second) == saved);
    return 0;
}
