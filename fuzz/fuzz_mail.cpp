// A raw mail as the mail server hands it over, to the pages it makes for a centre: the
// MIME reader, the charsets, HTML and the fitting. Every page fits the centre and holds
// only characters with codes.
#include "fuzzcheck.h"

#include "encoding/textcheck.h"
#include "gateway/mailintake.h"
#include "mail/mailparser.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw(reinterpret_cast<const char *>(data), qsizetype(size));
    const MailContent mail = parseMail(raw);
    const QString text = pageText(mail, QStringLiteral("{from}: {subject} {body}"));
    const MessageCenter center{QStringLiteral("C"), qint16(size % 8), QStringLiteral("0"), qint16(size % 60), 1, 1, 1};
    const QStringList pages = fitToCenter(text, center, size % 2 == 0, 1 + int(size % 9));
    FUZZ_CHECK(pages.size() <= 9);
    for (const QString &page : pages) {
        FUZZ_CHECK(!page.isEmpty());
        FUZZ_CHECK(textcheck::count(page, center.kind) <= center.maxChars);
        FUZZ_CHECK(unsendableCharacters(page).isEmpty());
    }
    return 0;
}
