// One automatic send of a 100-character message over SIP (device kind 10) to a centre
// that is a second baresip on loopback: the digits' measured time on the line, and the
// call's time beyond the waits it was asked to make and the digits' own playing time.
#include "modem/baresipconfig.h"
#include "modem/baresipprocess.h"
#include "modem/sendengine.h"
#include "modem/sipline.h"
#include "modem/waiter.h"
#include "store/appdata.h"
#include "tests/support/consolefrontend.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <algorithm>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QElapsedTimer clock;
    clock.start();

    // The centre: answers by itself and notes when each digit begins.
    const QString loopback = QStringLiteral("127.0.0.1");
    std::optional<baresip::Ports> ports = baresip::freePorts(loopback);
    if (!ports || baresip::modulePath().isEmpty()) {
        std::fprintf(stderr, "bench_sip: baresip (baresip-core) or free ports missing\n");
        return 1;
    }
    const QString number = QStringLiteral("0570000111");
    BaresipProcess centre;
    QList<qint64> digitStarts;
    QObject::connect(&centre, &BaresipProcess::event, [&](baresip::Event type) {
        if (type == baresip::Event::DigitReceived)
            digitStarts << clock.elapsed();
    });
    QEventLoop ready;
    QObject::connect(&centre, &BaresipProcess::ready, &ready, &QEventLoop::quit);
    QObject::connect(&centre, &BaresipProcess::failed, &ready, [&](const QString &message) {
        std::fprintf(stderr, "bench_sip: %s\n", qPrintable(message));
        ready.exit(1);
    });
    centre.start(
        baresip::configText(*ports, loopback, baresip::modulePath()),
        QStringLiteral("<sip:%1@127.0.0.1:%2>;regint=0;answermode=auto\n").arg(number).arg(ports->sip).toUtf8());
    if (ready.exec() != 0)
        return 1;

    AppData data;
    data.settings = Settings::defaults();
    data.settings.ModemKind = 10;
    data.settings.AutoTransmit = 1;
    data.settings.SipServer = QStringLiteral("127.0.0.1:%1").arg(ports->sip);
    data.history.resize(1);
    const qint16 wait = 2;
    data.centers << MessageCenter{QStringLiteral("C"), 0, number, 160, wait, wait, wait};
    data.recipients << Recipient{QStringLiteral("R"), 0, QStringLiteral("09012345678")};
    ConsoleFrontEnd view(data);
    while (view.mail.size() < 100)
        view.mail += QStringLiteral("ﾃｽﾄ ABC-123 あいう漢字 ");
    view.mail.truncate(100);

    EventLoopWaiter waiter;
    SipLine line(data.settings, waiter, nullptr);
    SingleLine lines(line);
    SendEngine engine(data, lines, view);
    qint64 up = -1, down = -1;
    QObject::connect(&line.engine(), &BaresipCall::established, [&] { up = clock.elapsed(); });
    QObject::connect(&line, &Line::closed, [&] { down = clock.elapsed(); });
    QEventLoop settled;
    QObject::connect(&engine, &SendEngine::settled, &settled, &QEventLoop::quit);
    const qint64 start = clock.elapsed();
    engine.send();
    settled.exec();
    if (engine.stage() != SendStage::Done || up < 0 || down < 0 || !view.errorsReported.isEmpty()) {
        std::fprintf(stderr, "bench_sip: the send did not go through\n");
        return 1;
    }

    // A digit's time: the gaps between digits of one string (a gap beyond 400 ms is a
    // pause between strings).
    QList<qint64> gaps;
    for (qsizetype i = 1; i < digitStarts.size(); ++i) {
        if (digitStarts[i] - digitStarts[i - 1] < 400)
            gaps << digitStarts[i] - digitStarts[i - 1];
    }
    std::sort(gaps.begin(), gaps.end());
    const double digitMs = gaps.isEmpty() ? 0 : double(gaps[gaps.size() / 2]);
    const int pieces = int((view.mail.size() + data.settings.SendStrings - 1) / data.settings.SendStrings);
    const double waits = 3 * wait + pieces * data.settings.MailInterval;
    const double lineSeconds = (down - up) / 1000.0;
    const double digitsSeconds = digitStarts.size() * baresip::DigitMs / 1000.0;
    const double beyond = lineSeconds - waits - digitsSeconds;
    std::printf("setup (start of the engine to the centre's answer)  %7.3f s\n", (up - start) / 1000.0);
    std::printf("digits received %lld; a digit, median gap within a string: %.1f ms (%lld gaps, %lld..%lld ms)\n",
                qlonglong(digitStarts.size()), digitMs, qlonglong(gaps.size()), gaps.isEmpty() ? 0LL : gaps.first(),
                gaps.isEmpty() ? 0LL : gaps.last());
    std::printf(
        "line up to hang-up %7.3f s = waits %.3f s + digits %.3f s (at %d ms) + %.3f s beyond: %.2f %% of the call "
        "(goal < 5 %%)\n",
        lineSeconds, waits, digitsSeconds, baresip::DigitMs, beyond, 100 * beyond / lineSeconds);
    centre.stop();
    QEventLoop gone;
    QObject::connect(&centre, &BaresipProcess::finished, &gone, &QEventLoop::quit);
    if (centre.isRunning())
        gone.exec();
    return 0;
}
