#pragma once

#include "modem/baresipprocess.h"
#include "modemsim.h"

#include <QList>
#include <QObject>
#include <QString>
#include <functional>

// A message centre reached over SIP: a second baresip on 127.0.0.1 that answers calls
// to its number by itself and collects the touch-tone digits each call brings. It is
// driven as the program's own engine is, over its standard input and output.
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
    void onEvent(baresip::Event type, const QString &subject, const QString &detail);
    void close(const QString &peer);

    BaresipProcess m_engine;
    QString m_number;
    int m_hangUpAfter = 0;
    struct Call {
        QString peer;
        QString digits;
        bool dropped = false;
    };
    // The open calls, the newest last: the engine names a call only by its far end,
    // and a dead call may still be open when the next one comes. Keys go to the newest.
    QList<Call> m_calls;
    QString m_lastEnded; // the far end of the call whose end was the last event
};
