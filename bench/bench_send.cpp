// One automatic send of a 100-character message to fumidori-modemsim over a pty,
// with waits of 2 s and the line log on (--no-log: off): the program's CPU time
// against the call's wall time, the time from the modem's "OK" + CR to the program's
// next command, and the call's length against the waits it was asked to make.
#include "modem/comport.h"
#include "modem/linelog.h"
#include "modem/modemline.h"
#include "modem/sendengine.h"
#include "modem/stagetexts.h"
#include "modem/waiter.h"
#include "store/appdata.h"
#include "store/apperror.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace
{

class QuietView : public SendFrontEnd
{
public:
    QString mail;
    QString caption;
    int selectedCenter() const override { return 0; }
    int selectedRecipient() const override { return 0; }
    QString mailText() const override { return mail; }
    void stageStarted(SendStage) override {}
    void nextStage(SendStage stage, bool afterSend) override { caption = stagetexts::sendCaption(stage, afterSend); }
    void stageFinished() override {}
    void sendAgainAllowed(bool) override {}
    void waitingForNextStage() override {}
    void progress(Progress, int, int) override {}
    void lineStatus(LineStatus) override {}
    void callEnded() override {}
    void sent() override {}
    void refused(Refusal reason) override { std::printf("message box: %s\n", qPrintable(stagetexts::refusal(reason))); }
    void failed(const AppError &) override { std::printf("a failure was reported\n"); }
};

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Seconds from each "OK" + CR the simulator sent to the next bytes it received;
// gaps of a second or more are the program's own timed waits and are left out.
QList<double> answerLatencies(const QString &transcriptPath, QByteArray *slowest)
{
    QFile file(transcriptPath);
    QList<double> out;
    if (!file.open(QIODevice::ReadOnly))
        return out;
    double okAt = -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() < 3)
            continue;
        const double t = parts[0].toDouble();
        if (parts[1] == "tx" && line.contains("OK\\x0d")) {
            okAt = t;
        } else if (parts[1] == "rx" && okAt >= 0) {
            if (t - okAt < 1.0) {
                if (out.isEmpty() || t - okAt > *std::max_element(out.begin(), out.end()))
                    *slowest = parts[2];
                out << t - okAt;
            }
            okAt = -1;
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The process's peak resident memory so far (VmHWM), in KiB.
qint64 peakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

double percentile(const QList<double> &sorted, double p)
{
    return sorted.isEmpty() ? 0 : sorted[qMin(sorted.size() - 1, qsizetype(p * double(sorted.size())))];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    QProcess sim;
    // --no-log: the call without its line log, for comparing. Further arguments go to the
    // simulator: --noise 1048576 has the device send a mebibyte of noise before each answer.
    QStringList simArguments = app.arguments().mid(1);
    const bool logged = !simArguments.removeAll(QStringLiteral("--no-log"));
    sim.start(QCoreApplication::applicationDirPath() + QStringLiteral("/fumidori-modemsim"),
              QStringList{"--folder", folder, "--transcript", folder + "transcript.txt"} + simArguments);
    sim.setReadChannel(QProcess::StandardError);
    if (!sim.waitForStarted() || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "bench_send: fumidori-modemsim did not start\n");
        return 1;
    }

    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.settings.AutoTransmit = 1;
    data.history.resize(data.settings.HistoryCount);
    constexpr int Wait = 2;
    data.centers << MessageCenter{"C", 0, "0570000111", 200, Wait, Wait, Wait};
    data.recipients << Recipient{"R", 0, "09012345678"};
    QuietView view;
    while (view.mail.size() < 100)
        view.mail += QStringLiteral("ﾃｽﾄ ABC-123 あいう漢字 ");
    view.mail.truncate(100);

    ComPort port(folder);
    EventLoopWaiter waiter;
    ModemLine line(data.settings, port, waiter);
    LineLog log(folder);
    if (logged)
        line.setLog(&log);
    SingleLine lines(line);
    SendEngine engine(data, lines, view);
    QObject::connect(&engine, &SendEngine::settled, &app, &QCoreApplication::quit);
    const qint64 peakBefore = peakKiB();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    engine.send();
    app.exec();
    const double wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    const qint64 peakGrowth = peakKiB() - peakBefore; // before the transcript is read below

    sim.setReadChannel(QProcess::StandardOutput);
    while (!sim.readAllStandardOutput().contains("--\n") && sim.waitForReadyRead(2000)) {
    }
    sim.terminate();
    sim.waitForFinished(5000);

    QByteArray slowest;
    const QList<double> latencies = answerLatencies(folder + "transcript.txt", &slowest);
    std::printf("send ended with: %s\n", qPrintable(view.caption));
    std::printf(
        "line log: %s\n",
        logged ? qPrintable(QStringLiteral("%1 bytes in log/line.log").arg(QFileInfo(folder + "log/line.log").size()))
               : "off (--no-log)");
    std::printf("call wall time: %.3f s; the centre's waits: %d s; beyond them: %.3f s\n", wallSeconds, 3 * Wait,
                wallSeconds - 3 * Wait);
    std::printf("program CPU time: %.4f s = %.3f %% of the call's wall time (goal <= 1 %%)\n", cpu,
                100 * cpu / wallSeconds);
    std::printf("\"OK\" CR to the next command byte over %lld answers: median %.3f ms, p99 %.3f ms, max %.3f ms "
                "(goal: median < 1 ms, p99 < 5 ms)\n",
                qlonglong(latencies.size()), 1000 * percentile(latencies, 0.5), 1000 * percentile(latencies, 0.99),
                1000 * (latencies.isEmpty() ? 0 : latencies.last()));
    std::printf("the slowest answer was followed by: %s\n", slowest.constData());
    std::printf("peak memory (VmHWM) grew by %lld KiB during the call (goal < 1024 KiB under a talking device)\n",
                qlonglong(peakGrowth));
    return view.caption == QStringLiteral("送ったよ！") ? 0 : 1;
}
