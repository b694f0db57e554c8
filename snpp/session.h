#pragma once

#include "store/snppdesk.h"

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// One SNPP client's conversation, without the socket: bytes in, answers out. Level 1 and
// the level 2 commands LOGI, LEVE, ALER, COVE, CALL, SUBJ, HOLD, DATA, HELP and RESE;
// everything else answers 500 and changes nothing. A transaction is the PAGEs and the
// message since the last SEND or RESE; SEND hands it to the desk as one batch.
class SnppSession
{
public:
    static constexpr qsizetype MaxLine = 512;       // a command line with its CR LF
    static constexpr qsizetype MaxData = 64 * 1024; // the text of DATA
    static constexpr int MaxPagers = 100;           // PAGEs in one transaction
    static constexpr int MaxErrors = 20;            // unknown commands before the session ends
    static constexpr int MaxLoginFailures = 3;      // wrong passwords before the session ends

    // allowed: the client's address may page without LOGI.
    SnppSession(SnppDesk &desk, bool allowed);

    static QByteArray greeting();
    // The answers to every line the bytes complete.
    QByteArray feed(QByteArrayView bytes);
    // QUIT, or too many errors: close once the answers are out.
    bool ended() const { return m_ended; }

    // The time a HOLD argument names (YYMMDDHHMMSS, optionally an offset such as
    // +0900 or -0500; without one the local time), in ms since the epoch; nullopt when
    // it names none.
    static std::optional<qint64> holdTime(const QByteArray &argument);

private:
    QByteArray command(const QByteArray &line);
    QByteArray dataLine(const QByteArray &line);
    QByteArray message(const QByteArray &bytes);
    QByteArray page(const QByteArray &argument);
    QByteArray send();
    void reset();

    SnppDesk &m_desk;
    bool m_allowed = false;
    bool m_loggedIn = false;
    bool m_ended = false;
    int m_errors = 0;
    int m_loginFailures = 0;

    QByteArray m_pending;    // a line not yet complete
    bool m_overlong = false; // the line under way has passed MaxLine: skipped to its end
    bool m_inData = false;
    bool m_dataTooLong = false;
    QByteArray m_data;

    // The transaction.
    QList<SnppPager> m_pagers;
    std::optional<QByteArray> m_message;
    QByteArray m_subject;
    QByteArray m_caller;
    int m_urgency = 0; // the most urgent of LEVE and ALER: 0 none, 1 info, 2 critical
    qint64 m_notBefore = 0;
};
