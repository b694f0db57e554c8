#pragma once

// The queue runner in the test's own process, its calls and checks played by a driver
// that ends them as the test says.
#include "gateway/calldriver.h"
#include "gateway/queuelines.h"
#include "gateway/queuerunner.h"
#include "store/failure.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QSignalSpy>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

// Calls that end as the test says: fails(n) for the n-th call (from 1) of the run;
// hang() keeps a call open until it is aborted.
struct Script {
    std::function<bool(int)> fails = [](int) { return false; };
    QString failText = QStringLiteral("NO CARRIER");
    bool hang = false;
    bool deaf = false; // an aborted call never ends
    std::function<void()> onStart = [] {};
    // By the line's port and the number (empty for a check): 0 the call goes, 1 it fails
    // (NO CARRIER), 2 the device fails (NO DIALTONE).
    std::function<int(int port, const QString &number)> fault = [](int, const QString &) { return 0; };
    int calls = 0;
    QStringList numbers;
    QList<int> ports;
    QStringList centers;
    QStringList texts;
    QMap<int, int> checks; // by port
};

class ScriptedDriver : public CallDriver
{
public:
    explicit ScriptedDriver(Script &script) : m_script(script) {}
    void start(const CallRequest &request) override
    {
        const int call = ++m_script.calls;
        m_script.numbers << request.number;
        m_script.ports << request.settings.PortNumber;
        m_script.centers << request.center.name;
        m_script.texts << request.text;
        emit stageChanged(QStringLiteral("call"), QStringLiteral("センターに電話をかけてます"));
        m_script.onStart();
        if (m_script.hang)
            return;
        const int fault = m_script.fault(request.settings.PortNumber, request.number);
        end(fault ? fault : m_script.fails(call) ? 1 : 0);
    }
    // A check fails only where the device does.
    void check(const CallRequest &request) override
    {
        ++m_script.checks[request.settings.PortNumber];
        end(m_script.fault(request.settings.PortNumber, QString()) == 2 ? 2 : 0);
    }
    void abort() override
    {
        if (!m_script.deaf)
            QTimer::singleShot(0, this, [this] { emit finished(Failure::Stopped, QStringLiteral("切断")); });
    }

private:
    void end(int fault)
    {
        QTimer::singleShot(0, this, [this, fault] {
            if (fault)
                emit finished(fault == 1 ? Failure::CallFailed : Failure::DeviceFailed,
                              fault == 1 ? m_script.failText : QStringLiteral("NO DIALTONE"));
            else
                emit finished(Failure::None, QString());
        });
    }
    Script &m_script;
};

// A runner on a folder, with the reporter given, on the clock given, its signals counted;
// its calls and checks the script's unless the test makes another driver. No waits
// between tries and no rate per person unless a test sets them.
template <typename ReporterType> struct RunnerRig {
    QString folder;
    Script script;
    ReporterType reporter;
    QueueSettings settings;
    RunnerClock *runnerClock = &RunnerClock::system();
    std::function<std::unique_ptr<CallDriver>()> makeDriver = [this] {
        return std::make_unique<ScriptedDriver>(script);
    };
    std::unique_ptr<QueueRunner> runner;
    std::unique_ptr<QSignalSpy> tried, idled, settled, changed, checked;
    std::optional<Outcome> refused; // why start() failed

    explicit RunnerRig(QString f = {}) : folder(std::move(f)) { unpaced(); }
    // The folder's queue.ini read again.
    void loadSettings()
    {
        settings = QueueSettings::load(folder);
        unpaced();
    }
    void unpaced()
    {
        settings.delays = {0};
        settings.maxPerPerson = 0;
    }
    bool start()
    {
        runner = std::make_unique<QueueRunner>(folder, settings, reporter, makeDriver, *runnerClock);
        tried = std::make_unique<QSignalSpy>(runner.get(), &QueueRunner::tried);
        idled = std::make_unique<QSignalSpy>(runner.get(), &QueueRunner::idle);
        settled = std::make_unique<QSignalSpy>(runner.get(), &QueueRunner::settled);
        changed = std::make_unique<QSignalSpy>(runner.get(), &QueueRunner::lineChanged);
        checked = std::make_unique<QSignalSpy>(runner.get(), &QueueRunner::checked);
        refused = runner->start();
        return !refused;
    }
    // Until the runner has nothing to do (again).
    bool waitForIdle()
    {
        const qsizetype seen = idled->count();
        return idled->wait(5000) || idled->count() > seen;
    }
    // Until n tries have ended in all.
    bool waitForTries(int n)
    {
        while (tried->count() < n && tried->wait(5000))
            continue;
        return tried->count() >= n;
    }
    // Until the driver has been asked for n calls in all.
    bool waitForCalls(int n)
    {
        QEventLoop calling;
        script.onStart = [&] {
            if (script.calls >= n)
                calling.quit();
        };
        QTimer::singleShot(5000, &calling, &QEventLoop::quit);
        if (script.calls < n)
            calling.exec();
        script.onStart = [] {};
        return script.calls >= n;
    }
    // The runner stopped, and told so.
    bool stop()
    {
        if (!runner)
            return false;
        QSignalSpy stopped(runner.get(), &QueueRunner::stopped);
        runner->stop();
        return stopped.wait(10000);
    }
    // A field of line i in queue/lines.json (its state word unless told); empty when none.
    QString lineField(int i, const char *field = "state") const
    {
        const std::optional<QJsonObject> status = linestatus::read(folder);
        return status ? status->value("lines").toArray().at(i).toObject().value(QLatin1String(field)).toString()
                      : QString();
    }
    // The status word of each try, in order.
    QStringList outcomes() const
    {
        QStringList out;
        for (const QList<QVariant> &args : *tried)
            out << args[1].value<Outcome>().word();
        return out;
    }
};
