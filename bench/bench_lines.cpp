// Several lines behind one queue: 20 queued messages through 1, 2 and 3 simulated lines
// (fumidori-modemsim on COM1..3, the lines named in queue/queue.ini), with the centre's
// waits of the simulator's sample settings (3 s at each stage, MailInterval 2). Prints the
// wall time from the runner's start to the last message decoded, the ratios against one
// line, and the runner's CPU share.
//   bench_lines [MESSAGES]
#include "support/linesrig.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>

namespace
{

// The CPU time of a running process so far (ns precision), in s.
double cpuSoFar(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/schedstat").arg(pid));
    return stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ').value(0).toDouble() / 1e9 : 0;
}

struct Figures {
    bool sent = false;
    double wall = 0; // s
    double cpu = 0;  // s, the runner's
    QList<int> perLine;
};

Figures run(int lines, int messages)
{
    Figures f;
    LinesRig rig;
    if (!rig.writeSettings(3, 2) || !rig.writeQueueIni(lines, QStringLiteral("Delays=0\n")) || !rig.startSims(lines)) {
        std::fprintf(stderr, "bench_lines: cannot set up %d lines\n", lines);
        return f;
    }
    QStringList texts;
    for (int i = 0; i < messages; ++i) {
        texts << QStringLiteral("ﾃｽﾄ ABC-%1 あいう漢字 停止").arg(i, 2, 10, QLatin1Char('0'));
        rig.add(texts.last());
    }
    QElapsedTimer clock;
    clock.start();
    if (!rig.startRunner())
        return f;
    // Until all are decoded, or one has been given up.
    const QDir failed(sendqueue::failedFolder(rig.folder));
    f.sent = rig.waitFor([&] { return rig.allDelivered(texts) || !failed.isEmpty(QDir::Files); }, 30 * 60 * 1000) &&
             rig.allDelivered(texts);
    f.wall = double(clock.nsecsElapsed()) / 1e9;
    f.cpu = cpuSoFar(rig.runner.processId());
    for (int i = 0; i < lines; ++i)
        f.perLine << int(rig.delivered(i).size());
    rig.stopRunner();
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line as it is measured
    const int messages = argc > 1 ? qBound(1, atoi(argv[1]), 200) : 20;
    std::printf("%d queued messages, centre waits 3 s at each stage, MailInterval 2\n", messages);
    QList<Figures> all;
    for (int lines = 1; lines <= 3; ++lines) {
        const Figures f = run(lines, messages);
        all << f;
        QStringList split;
        for (int n : f.perLine)
            split << QString::number(n);
        std::printf("%d line%s  %s  wall %7.2f s  runner CPU %.3f s = %.3f %% (goal < 1 %%)  per line %s\n", lines,
                    lines == 1 ? " " : "s", f.sent ? "all sent" : "NOT all sent", f.wall, f.cpu,
                    f.wall > 0 ? f.cpu / f.wall * 100 : 0, qPrintable(split.join(u'/')));
    }
    if (all[0].wall > 0) {
        std::printf("2 lines / 1 line  %.3f  (goal <= 0.55)\n", all[1].wall / all[0].wall);
        std::printf("3 lines / 1 line  %.3f  (goal <= 0.4)\n", all[2].wall / all[0].wall);
    }
    return std::all_of(all.cbegin(), all.cend(), [](const Figures &f) { return f.sent; }) ? 0 : 1;
}
