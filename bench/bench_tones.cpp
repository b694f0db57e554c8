// The sound card tone dialer playing a 100-character message on a private PulseAudio
// server's null sink: the program's CPU share while it plays (and the sound server's),
// and the delay from the press (play()) to the first tone on the sink, at the first
// play (the audio plugin loaded then) and at a later one. The sink's monitor is
// recorded with parec; each block's arrival time places the first tone to within the
// recorder's 20 ms latency.
#include "encoding/codetable.h"
#include "modem/tonedialer.h"
#include "support/pulseserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// The monitor's samples as they arrive, with the time of each block.
struct Recording {
    QProcess parec;
    QByteArray samples;
    QList<QPair<qint64, double>> arrivals; // bytes so far, ms since the clock started
    const QElapsedTimer *clock = nullptr;

    bool start(const QString &server)
    {
        QObject::connect(&parec, &QProcess::readyReadStandardOutput, [this] {
            samples += parec.readAllStandardOutput();
            arrivals.append({samples.size(), double(clock->nsecsElapsed()) / 1e6});
        });
        parec.start(QStringLiteral("parec"),
                    {QStringLiteral("--server=") + server, QStringLiteral("--device=fumidori.monitor"),
                     QStringLiteral("--rate=22050"), QStringLiteral("--channels=1"), QStringLiteral("--format=s16le"),
                     QStringLiteral("--raw"), QStringLiteral("--latency-msec=20")});
        return parec.waitForStarted() && parec.waitForReadyRead(10000);
    }

    // The number of tones (runs of sound parted by 20 ms or more of silence) after byte offset from.
    int tones(qsizetype from) const
    {
        const auto *x = reinterpret_cast<const qint16 *>(samples.constData());
        int count = 0, quiet = 1000;
        for (qsizetype i = from / 2; i < samples.size() / 2; ++i) {
            if (qAbs(x[i]) >= 500) {
                count += quiet >= 441;
                quiet = 0;
            } else {
                ++quiet;
            }
        }
        return count;
    }

    // When the first sample louder than the silence after byte offset `from` was
    // played, on the clock: its block's arrival less the samples after it in the block.
    double firstSoundMs(qsizetype from) const
    {
        const auto *x = reinterpret_cast<const qint16 *>(samples.constData());
        for (qsizetype i = from / 2; i < samples.size() / 2; ++i) {
            if (qAbs(x[i]) < 500)
                continue;
            for (const auto &[bytes, ms] : arrivals) {
                if (bytes > i * 2)
                    return ms - double(bytes / 2 - i) * 1000.0 / 22050;
            }
        }
        return -1;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int toneMs = argc > 1 ? QByteArray(argv[1]).toInt() : 100;
    PulseServer server;
    QString error;
    if (!server.start(&error)) {
        std::printf("no sound server: %s\n", qPrintable(error));
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    Recording recording;
    recording.clock = &clock;
    if (!recording.start(server.address())) {
        std::printf("parec records nothing\n");
        return 1;
    }

    // 100 characters: half-width katakana, capitals, digits and kanji.
    const QString mail = QStringLiteral("ｺﾝﾆﾁﾊ ABC 123 漢字かな").repeated(6).left(100);
    const QString keys = messagePieces(mail, 100).join(QString()) + endMark(0);
    ToneDialer dialer;
    QObject::connect(&dialer, &ToneDialer::finished, &app, &QCoreApplication::quit);
    QObject::connect(&dialer, &ToneDialer::failed, &app, [&](const QString &problem) {
        std::printf("failed: %s\n", qPrintable(problem));
        app.exit(1);
    });

    double pressMs[2], firstToneMs[2];
    double cpu = 0, serverCpu = 0, wallMs = 0;
    int heard[2] = {0, 0};
    for (int run = 0; run < 2; ++run) {
        // The first run is the short call stage (the plugin is loaded by it); the
        // second plays the whole message.
        const QString played = run == 0 ? QStringLiteral("0570000111") : keys;
        const qsizetype recordedBefore = recording.samples.size();
        const double cpuBefore = cpuSeconds();
        const double serverBefore = processCpuSeconds(server.processId());
        pressMs[run] = double(clock.nsecsElapsed()) / 1e6;
        if (!dialer.play(played, toneMs, toneMs, &error)) {
            std::printf("cannot play: %s\n", qPrintable(error));
            return 1;
        }
        if (app.exec() != 0)
            return 1;
        wallMs = double(clock.nsecsElapsed()) / 1e6 - pressMs[run];
        cpu = cpuSeconds() - cpuBefore;
        serverCpu = processCpuSeconds(server.processId()) - serverBefore;
        firstToneMs[run] = recording.firstSoundMs(recordedBefore) - pressMs[run];
        // What is still on its way from the server, then the tones heard are counted.
        const QByteArray::size_type wanted = recording.samples.size() + 22050 * 2 / 2;
        while (recording.samples.size() < wanted && recording.parec.waitForReadyRead(2000)) {
        }
        heard[run] = recording.tones(recordedBefore);
    }
    std::printf("tone dialer, %d ms tones and gaps, private PulseAudio server with a null sink\n", toneMs);
    std::printf("press to first tone on the sink: first play %.0f ms (audio plugin loaded then), later play %.0f ms "
                "(goal <= 150 ms; +-20 ms, the recorder's latency)\n",
                firstToneMs[0], firstToneMs[1]);
    std::printf("100-character message: %lld keys, %d tones heard on the sink, %.1f s from the press to the end\n",
                qlonglong(keys.size()), heard[1], wallMs / 1000);
    std::printf("program CPU time %.3f s = %.2f %% of the time played; sound server %.3f s = %.2f %%\n", cpu,
                100 * cpu * 1000 / wallMs, serverCpu, 100 * serverCpu * 1000 / wallMs);
    recording.parec.terminate();
    recording.parec.waitForFinished();
    return 0;
}
