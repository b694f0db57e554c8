#pragma once

// A call driver whose calls and checks end as the test says, counted by the line's port.
#include "gateway/calldriver.h"
#include "store/failure.h"

#include <QMap>
#include <QStringList>
#include <QTimer>

#include <functional>

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
