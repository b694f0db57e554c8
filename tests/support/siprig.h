#pragma once

// A SIP centre for tests: fumidori-modemsim --sip on a free loopback port, whose report
// of each call is read back; and a data folder whose settings call it through
// fumidori-send.
#include "modem/baresipconfig.h"
#include "store/appdata.h"
#include "store/settingsfile.h"
#include "support/sendrig.h"

#include <QFile>
#include <QObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

namespace siprig
{

constexpr int CallMs = 15000; // a call on loopback takes well under a second
inline const QString CentreNumber = QStringLiteral("0570000111");

// One centre: the simulator in SIP mode on a free port.
struct Centre {
    QProcess process;
    quint16 port = 0;
    QByteArray out;

    bool start(const QStringList &options = {})
    {
        const auto ports = baresip::freePorts(QStringLiteral("127.0.0.1"));
        if (!ports)
            return false;
        port = ports->sip;
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        // A test that dies leaves no centre behind (its engine goes with it).
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"),
                      QStringList{"--sip", QString::number(port), "--number", CentreNumber} + options);
        QByteArray err;
        const QMetaObject::Connection errors = QObject::connect(&process, &QProcess::readyReadStandardError,
                                                                [&] { err += process.readAllStandardError(); });
        (void)QTest::qWaitFor([&] { return err.contains("ready") || process.state() == QProcess::NotRunning; }, CallMs);
        QObject::disconnect(errors);
        return err.contains("ready");
    }
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    // What the centre printed for its next call, once it has.
    QByteArray nextCall()
    {
        const qsizetype end = out.indexOf("--\n");
        if (end < 0)
            return {};
        const QByteArray call = out.left(end);
        out.remove(0, end + 3);
        return call;
    }
    // Its next call once it has ended, within ms; empty when none came.
    QByteArray waitCall(int ms = CallMs)
    {
        (void)QTest::qWaitFor([&] { return out.contains("--\n"); }, ms);
        return nextCall();
    }
    ~Centre()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
};

// A folder whose settings call the centre over SIP, with recipient R on centre C.
inline bool saveSipFolder(AppData &data, const QString &folder, const QString &server)
{
    data.folder = folder + u'/';
    data.settings = Settings::defaults();
    data.settings.ModemKind = 10;
    data.settings.SipServer = server;
    data.settings.SipUser = QStringLiteral("fumidori");
    data.centers = {MessageCenter{QStringLiteral("C"), 0, CentreNumber, 160, 1, 1, 1}};
    data.recipients = {Recipient{QStringLiteral("R"), 0, QStringLiteral("09012345678")}};
    return !SaveSettingsFile(data);
}

// A call that reached the centre whole: the recipient R's number, the message, no drop.
inline bool wholeCall(const QByteArray &call, const QByteArray &message = "ABC")
{
    return call.contains("\nrecipient: 09012345678\n") && call.contains("\nmessage: " + message + '\n') &&
           !call.contains("dropped");
}

// A password file as fumidori-send takes one: the bytes given, for its owner alone.
inline bool writePasswordFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() &&
           f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

// fumidori-send's exit status and standard error for "ABC" to R.
inline std::pair<int, QString> sendFromScript(const QString &folder, const QStringList &options,
                                              const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    const ToolRun r =
        runTool(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"),
                QStringList{"--folder", folder, "--to", "R"} + options + QStringList{"ABC"}, {}, env, 2 * CallMs);
    return {r.exitCode, r.ended ? r.err : QStringLiteral("did not end")};
}

} // namespace siprig
