#pragma once

#include "store/target.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtPlugin>
#include <variant>

// What the SNPP listener (snpp/, a plugin) needs from the queue runner it serves. The runner
// implements SnppDesk; the listener calls it from a thread of its own, so every member
// must be safe to call from any thread.

// One recipient of a page, as PAGE named it: whom it goes to and the id its message will
// have in the queue (told to the client at once).
struct SnppPager {
    QString id;
    Target target;
    bool escalation = false; // a page to an escalation, started at SEND: id is the page's
};

// What SEND hands in: every PAGE since the last SEND or RESE, with one text.
struct SnppBatch {
    QList<SnppPager> pagers;
    QByteArray text;      // as the client sent it: UTF-8, else CP932
    QString severity;     // "critical", "info"; empty: none of its own
    qint64 notBefore = 0; // no try before this time (ms since the epoch); 0: at once
};

class SnppDesk
{
public:
    virtual ~SnppDesk() = default;
    // Whom PAGE names (an address-book name, or digits for the SNPP centre; UTF-8, else
    // CP932): the pager, or why it cannot be paged.
    virtual std::variant<SnppPager, QString> pager(const QByteArray &name) = 0;
    // The user and password match a line of the users file.
    virtual bool login(const QByteArray &user, const QByteArray &password) = 0;
    // Puts the batch into the queue, every message or none: empty once it is on disk,
    // else why not.
    virtual QString send(const SnppBatch &batch) = 0;
};

// How the listener is set up.
struct SnppSettings {
    QString address;     // a numeric IPv4 or IPv6 address
    quint16 port = 0;    // 0: any free port
    QStringList allowed; // addresses that may page without LOGI
    int connectionsPerClient = 8;
    int connections = 64;
    int idleSeconds = 60;
    int sessionSeconds = 300;
};

// The SNPP listener (snpp/), a plugin loaded only by a runner that serves SNPP.
class SnppListener
{
public:
    virtual ~SnppListener() = default;
    // Starts serving desk on a thread of the listener's own; the problem, if any.
    virtual QString start(const SnppSettings &settings, SnppDesk *desk) = 0;
    // The port it listens on (the chosen one when asked for 0).
    virtual quint16 port() const = 0;
    // Closes the socket and every connection; no call into the desk follows.
    virtual void stop() = 0;
};

#define SnppListener_iid "org.fumidori.SnppListener/1"
Q_DECLARE_INTERFACE(SnppListener, SnppListener_iid)
