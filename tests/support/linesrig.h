#pragma once

// Several lines behind one queue: fumidori-modemsim on COM1, COM2... of one data folder,
// queue/queue.ini naming them as the lines "a", "b"..., and "fumidori-send queue run --json"
// over them, with its events and what each simulated centre decoded gathered as they come.
// Every wait runs the event loop until the runner, a simulator or a watched file says
// something, never sleeping. No QTest in here: the benchmark drives the same rig.
#include "support/filehelpers.h"
#include "support/modemsim.h"

#include "store/appdata.h"
#include "store/sendqueue.h"
#include "store/settingsfile.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

struct LinesRig {
    // The centre every line reaches, and one whose number never answers (--unreachable).
    static constexpr const char *CentreNumber = "0570000111";
    static constexpr const char *DeadCentreNumber = "0570000999";

    TempDir dir;
    const QString folder = dir.path() + u'/';
    std::vector<std::unique_ptr<ModemSim>> sims; // sims[i] plays COM(i+1), the line lineName(i)
    QProcess runner;
    QList<QJsonObject> events; // the runner's, in order
    QByteArray partial;        // the runner's output after its last full line

    ~LinesRig()
    {
        if (runner.state() != QProcess::NotRunning) { // a check failed: nothing more to see
            runner.kill();
            runner.waitForFinished(5000);
        }
    }

    static QString lineName(int i) { return QString(QChar(u'a' + i)); }
    QString queueFolder() const { return sendqueue::queueFolder(folder); }
    QString hookLog() const { return folder + QStringLiteral("hooks.log"); }

    // The book: centre C (CentreNumber) with recipients R and R2, centre Dead
    // (DeadCentreNumber) with recipient X; each centre waits `wait` seconds at each stage,
    // MailInterval as given.
    bool writeSettings(int wait = 0, int mailInterval = 0)
    {
        AppData data;
        data.folder = folder;
        data.settings = Settings::defaults();
        data.settings.MailInterval = qint16(mailInterval);
        const qint16 w = qint16(wait);
        data.centers << MessageCenter{QStringLiteral("C"), 0, QLatin1String(CentreNumber), 160, w, w, w}
                     << MessageCenter{QStringLiteral("Dead"), 0, QLatin1String(DeadCentreNumber), 160, w, w, w};
        data.recipients << Recipient{QStringLiteral("R"), 0, QStringLiteral("09000000001")}
                        << Recipient{QStringLiteral("X"), 1, QStringLiteral("09000000002")}
                        << Recipient{QStringLiteral("R2"), 0, QStringLiteral("09000000003")};
        return !SaveSettingsFile(data);
    }

    // queue/queue.ini: [Queue] with queueKeys (one "Key=value" a line), then [Line a]
    // PortNumber=1, [Line b] PortNumber=2... for `lines` lines (none: the window's one
    // line), each with its lineKeys.
    bool writeQueueIni(int lines, const QString &queueKeys = {}, const QMap<int, QString> &lineKeys = {})
    {
        // Many pages to one person: no rate per person here (tst_sender has its own test).
        QString ini = QStringLiteral("[Queue]\nMaxPerPerson=0\n") + queueKeys + u'\n';
        for (int i = 0; i < lines; ++i)
            ini +=
                QStringLiteral("\n[Line %1]\nPortNumber=%2\n%3\n").arg(lineName(i)).arg(i + 1).arg(lineKeys.value(i));
        return QDir().mkpath(queueFolder()) &&
               QFile::setPermissions(queueFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
               writeFileBytes(queueFolder() + QStringLiteral("queue.ini"), ini.toUtf8());
    }

    // The simulator of line i (on COM i+1), started afresh (a killed one's calls are kept).
    bool startSim(int i, const QStringList &options = {})
    {
        while (int(sims.size()) <= i)
            sims.push_back(std::make_unique<ModemSim>());
        ModemSim &sim = *sims[size_t(i)];
        sim.process.disconnect();
        if (!sim.start(folder, i + 1, options))
            return false;
        QObject::connect(&sim.process, &QProcess::readyReadStandardOutput, &sim.process,
                         [&sim] { sim.printed += QString::fromUtf8(sim.process.readAllStandardOutput()); });
        return true;
    }
    bool startSims(int lines, const QStringList &options = {})
    {
        for (int i = 0; i < lines; ++i) {
            if (!startSim(i, options))
                return false;
        }
        return true;
    }
    // kill -9: the line dies where it is, in a call or not.
    void killSim(int i)
    {
        ModemSim &sim = *sims[size_t(i)];
        sim.process.kill();
        sim.process.waitForFinished(5000);
        sim.printed += QString::fromUtf8(sim.process.readAllStandardOutput());
    }

    // A message for the recipient (R: centre C), queued as "queue add" does; its id.
    QString add(const QString &text, const QString &to = QStringLiteral("R"), int attempts = 3)
    {
        QueuedMessage m;
        m.to = to;
        m.text = text;
        m.attempts = attempts;
        return sendqueue::add(folder, m).ok() ? m.id : QString();
    }

    bool startRunner(const QStringList &extra = {})
    {
        events.clear();
        partial.clear();
        runner.disconnect();
        QObject::connect(&runner, &QProcess::readyReadStandardOutput, &runner, [this] { readEvents(); });
        runner.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"),
                     QStringList{"--folder", folder, "--json", "--quiet", "queue", "run"} + extra);
        return runner.waitForStarted(5000);
    }
    void readEvents()
    {
        partial += runner.readAllStandardOutput();
        qsizetype end;
        while ((end = partial.indexOf('\n')) >= 0) {
            events << QJsonDocument::fromJson(partial.left(end)).object();
            partial.remove(0, end + 1);
        }
    }
    // SIGTERM, and the runner's end: its exit code, -1 when it did not end by itself.
    int stopRunner()
    {
        if (runner.state() != QProcess::NotRunning) {
            runner.terminate();
            if (!runner.waitForFinished(15000))
                return -1;
        }
        readEvents();
        return runner.exitStatus() == QProcess::NormalExit ? runner.exitCode() : -1;
    }

    QList<QJsonObject> eventsNamed(const QString &name) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject &e : events) {
            if (e.value(QStringLiteral("event")).toString() == name)
                out << e;
        }
        return out;
    }

    // The messages line i's centre decoded, in order; all lines' together.
    QStringList delivered(int i) { return sims[size_t(i)]->field(QStringLiteral("message"), 0); }
    QStringList delivered()
    {
        QStringList all;
        for (size_t i = 0; i < sims.size(); ++i)
            all += delivered(int(i));
        return all;
    }
    bool allDelivered(const QStringList &texts)
    {
        const QStringList all = delivered();
        return std::all_of(texts.cbegin(), texts.cend(), [&](const QString &t) { return all.contains(t); });
    }
    // How often each text was decoded, over every line.
    QMap<QString, int> deliveries()
    {
        QMap<QString, int> count;
        for (const QString &t : delivered())
            ++count[t];
        return count;
    }

    // queue/lines.json as the runner last wrote it; the object of one line in it.
    QJsonObject linesJson() const
    {
        return QJsonDocument::fromJson(readFileBytes(queueFolder() + QStringLiteral("lines.json"))).object();
    }
    QJsonObject lineState(const QString &name) const
    {
        for (const QJsonValue &line : linesJson().value(QStringLiteral("lines")).toArray()) {
            if (line.toObject().value(QStringLiteral("name")).toString() == name)
                return line.toObject();
        }
        return {};
    }

    // Runs the event loop until done() holds or timeoutMs have passed, looking again at
    // every line of the runner, every call a centre tells of, and every change of the data
    // folder, the spool's folders or the files under watch (those that exist by then).
    bool waitFor(const std::function<bool()> &done, int timeoutMs = 30000, const QStringList &files = {})
    {
        if (done())
            return true;
        QFileSystemWatcher watcher;
        const QStringList paths =
            QStringList{folder, queueFolder(), sendqueue::workFolder(folder), sendqueue::failedFolder(folder)} + files;
        QEventLoop loop;
        const QDeadlineTimer deadline(timeoutMs);
        auto look = [&] {
            for (const QString &f : paths) {
                if (QFileInfo::exists(f) && !watcher.files().contains(f) && !watcher.directories().contains(f))
                    watcher.addPath(f);
            }
            if (done() || deadline.hasExpired())
                loop.quit();
        };
        QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, look);
        QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &loop, look);
        QObject::connect(&runner, &QProcess::readyReadStandardOutput, &loop, look, Qt::QueuedConnection);
        QObject::connect(&runner, &QProcess::finished, &loop, &QEventLoop::quit);
        for (const auto &sim : sims)
            QObject::connect(&sim->process, &QProcess::readyReadStandardOutput, &loop, look, Qt::QueuedConnection);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        look();
        if (!done() && !deadline.hasExpired())
            loop.exec();
        return done();
    }
};
