// A request body to the page that would be queued: the first byte picks the route
// (even: a message, odd: an Alertmanager notification) and the centre's kind and
// limit; the rest is the body. A message is read or refused with a reason; a
// notification's page, fitted to the centre, has only characters with a code and
// counts no more than the centre takes.
#include "fuzzcheck.h"

#include "encoding/textcheck.h"
#include "gateway/prepare.h"
#include "gateway/textfit.h"
#include "http/bodies.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int kind = (data[0] >> 1) % 8;
    const int limit = 1 + (data[0] >> 4) * 16;
    const QByteArray body(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    using Read = std::variant<IntakeMessage, QString, httpbody::NoAlerts>;
    const Read read = (data[0] & 1) ? httpbody::alert(body, QStringLiteral("R0"), {})
                                    : std::visit([](auto &&v) -> Read { return v; }, httpbody::message(body));
    if (const auto *problem = std::get_if<QString>(&read)) {
        FUZZ_CHECK(!problem->isEmpty());
        return 0;
    }
    if (std::holds_alternative<httpbody::NoAlerts>(read))
        return 0;
    const IntakeMessage &m = std::get<IntakeMessage>(read);
    FUZZ_CHECK(m.target.to.isEmpty() != m.target.number.isEmpty());
    if (!m.fit)
        return 0;
    const MessageCenter center{QStringLiteral("C"), qint16(kind), QStringLiteral("0"), qint16(limit), 0, 0, 0};
    const QString page = fitToCenter(m.text, center, false, 1).value(0);
    FUZZ_CHECK(unsendableCharacters(page).isEmpty());
    FUZZ_CHECK(textcheck::count(page, kind) <= limit);
    return 0;
}
