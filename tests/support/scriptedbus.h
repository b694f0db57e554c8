#pragma once

// ModemManager with one module on a scripted system bus, for the line through it (kind 11)
// on virtual time: each method answered at once, except the one held back.
#include "modem/systembus.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <utility>

inline const QString CallPath = QStringLiteral("/org/freedesktop/ModemManager1/Call/1");

struct ScriptedBus : SystemBus {
    int state = 3;         // the module's, at the start
    bool registers = true; // enabling it ends registered
    int callEnd = 4;       // the call's state after Start: 4 active, 7 terminated
    uint reason = 0;       // why, when terminated
    int dropAfterKeys = 0; // the far end hangs up after this many digits
    QString hold;          // this method's answer waits for answerHeld()
    QStringList asked;     // the methods called, in order
    std::function<void(const BusReply &)> held;
    std::map<QString, std::function<void(const QString &, const QVariantList &)>> watches;

    void signal(const QString &path, int from, int to, uint why = 0)
    {
        if (watches.count(path))
            watches[path](path, {from, to, why});
    }
    void answerHeld(const BusReply &reply) { std::exchange(held, nullptr)(reply); }

    BusReply callNow(const QString &, const QString &, const QString &, const QString &method, const QVariantList &,
                     int) override
    {
        asked << method;
        return {};
    }
    void call(const QString &, const QString &path, const QString &, const QString &method, const QVariantList &, int,
              std::function<void(const BusReply &)> done) override
    {
        asked << method;
        if (method == hold) {
            held = std::move(done);
            return;
        }
        BusReply reply;
        if (method == u"GetNameOwner")
            reply.values = {QStringLiteral(":1.7")};
        else if (method == u"GetManagedObjects")
            reply.values = {QVariantMap{
                {QStringLiteral("/org/freedesktop/ModemManager1/Modem/0"),
                 QVariantMap{{QStringLiteral("org.freedesktop.ModemManager1.Modem.Voice"), QVariantMap{}},
                             {QStringLiteral("org.freedesktop.ModemManager1.Modem"),
                              QVariantMap{{QStringLiteral("EquipmentIdentifier"), QStringLiteral("490154203237518")},
                                          {QStringLiteral("State"), state}}}}}}};
        else if (method == u"Get")
            reply.values = {state};
        else if (method == u"CreateCall")
            reply.values = {CallPath};
        done(reply);
        if (method == u"Enable" && registers)
            signal(path, std::exchange(state, 8), 8);
        if (method == u"Start")
            signal(CallPath, 1, callEnd, reason);
        if (method == u"SendDtmf" && asked.count(QStringLiteral("SendDtmf")) == dropAfterKeys)
            signal(CallPath, 4, 7, 4);
    }
    int watch(const QString &, const QString &path, const QString &, const QString &,
              std::function<void(const QString &, const QVariantList &)> signal) override
    {
        watches[path] = std::move(signal);
        return int(watches.size());
    }
    void unwatch(int) override {}
};
