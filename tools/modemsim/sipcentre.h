#pragma once

#include "modem/baresipprocess.h"
#include "modemsim.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <functional>

// A message centre reached over SIP: a second baresip on 127.0.0.1 that answers calls
// to its number by itself and collects the touch-tone digits each call brings.
class SipCentre : public QObject
{
    Q_OBJECT
public:
    explicit SipCentre(QObject *parent = nullptr);

    // hangUpAfter > 0: the centre hangs up once that many digits have come.
    void start(quint16 port, const QString &number, int hangUpAfter);
    void stop() { m_engine.stop(); }

    std::function<void(const QString &digits, const CallRecord &call)> callEnded;

signals:
    void ready();
    void failed(const QString &message);
    void finished();

private:
    void onEvent(const QString &type, const QString &param, const QString &callId);

    BaresipProcess m_engine;
    QString m_number;
    int m_hangUpAfter = 0;
    struct Call {
        QString digits;
        bool dropped = false;
    };
    QHash<QString, Call> m_calls; // by the engine's call id
};
