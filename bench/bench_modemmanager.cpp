// Device kind 11's pace against ModemManager in its test mode (the system tests' rig): for
// each of RUNS sends of "ABC" through fumidori-send, the time from the call's Start() to
// its first SendDtmf, and between one SendDtmf and the next less the gap between digits
// (ToneGap), both from the sender's line log (--trace, milliseconds since the call began).
// Prints each run's figures, then the median of each.
//   bench_modemmanager [RUNS]
#include "support/modemmanagerrig.h"

#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>

namespace
{

constexpr int Gap = 40; // ToneGap, ms

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = qMax(1, app.arguments().value(1, QStringLiteral("5")).toInt());
    if (!ModemManagerRig::available()) {
        std::fprintf(stderr, "ModemManager or python3-dbusmock is not installed\n");
        return 1;
    }
    ModemManagerRig rig;
    const QString problem = rig.start({{"plain", {}}});
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "rig: %s\n", qPrintable(problem));
        return 1;
    }
    AppData data;
    data.folder = rig.m_dir.filePath(QStringLiteral("bench/"));
    QDir().mkpath(data.folder);
    data.settings = Settings::defaults();
    data.settings.ModemKind = 11;
    data.settings.ToneGap = Gap;
    data.settings.VoiceModem = rig.m_modules["plain"].imei;
    data.centers << MessageCenter{QStringLiteral("C"), 0, QStringLiteral("0570000111"), 20, 0, 0, 0};
    data.recipients << Recipient{QStringLiteral("R"), 0, QStringLiteral("09000000000")};
    if (SaveSettingsFile(data))
        return 1;
    // "<ms> <pid> <line> = call Call.Start(...)" and "... = call Call.SendDtmf(...)".
    const QRegularExpression record(QStringLiteral("^(\\d+) \\d+ \\S+ = call Call\\.(Start|SendDtmf)"),
                                    QRegularExpression::MultilineOption);
    QList<double> firsts, perDigit;
    std::printf("run  Start->1st digit (ms)  per digit less ToneGap (ms, median)  digits\n");
    for (int run = 1; run <= runs; ++run) {
        QProcess sender;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), rig.m_address);
        sender.setProcessEnvironment(env);
        sender.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"),
                     {"--folder", data.folder, "--to", "R", "--answer-limit", "10", "--trace", "ABC"});
        if (!sender.waitForFinished(120000) || sender.exitCode() != 0) {
            std::fprintf(stderr, "run %d failed:\n%s\n", run, sender.readAllStandardError().constData());
            return 1;
        }
        const QString trace = QString::fromUtf8(sender.readAllStandardError());
        qint64 start = -1;
        QList<qint64> keys;
        for (auto it = record.globalMatch(trace); it.hasNext();) {
            const auto m = it.next();
            if (m.captured(2) == u"Start")
                start = m.captured(1).toLongLong();
            else if (start >= 0)
                keys << m.captured(1).toLongLong();
        }
        if (start < 0 || keys.isEmpty()) {
            std::fprintf(stderr, "run %d: no Start or no digit in the trace\n", run);
            return 1;
        }
        QList<double> gaps;
        for (qsizetype i = 1; i < keys.size(); ++i)
            gaps << double(keys[i] - keys[i - 1] - Gap);
        firsts << double(keys.first() - start);
        perDigit << median(gaps);
        std::printf("%3d  %22.0f  %36.1f  %6lld\n", run, firsts.last(), perDigit.last(), qlonglong(keys.size()));
    }
    std::printf("median  Start->1st digit %.0f ms, per digit %.1f ms + ToneGap %d ms\n", median(firsts),
                median(perDigit), Gap);
    return 0;
}
