#include "support/server.h"
#include "support/table.h"
#include "ui/imeswitch.h"
#include "ui/mailedit.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <memory>

namespace
{

QDBusArgument engineDesc(const QString &name)
{
    QDBusArgument d;
    d.beginStructure();
    d << QStringLiteral("IBusEngineDesc");
    d.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusVariant>());
    d.endMap();
    d << name << name + QStringLiteral(" (long name)");
    d.endStructure();
    return d;
}

// Stands in for Fcitx 5's controller or for ibus-daemon on a bus, under the input method's
// name while 'present': notes every call; when silent, answers none.
class FakeInputMethod : public QDBusVirtualObject
{
public:
    QStringList calls;
    bool silent = false;
    QString engine;
    QStringList installed;
    QDBusConnection bus;
    QString service;

    FakeInputMethod(const QString &address, const QString &name, const QString &service, const QString &path)
        : bus(QDBusConnection::connectToBus(address, name)), service(service)
    {
        bus.registerVirtualObject(path, this);
    }
    void setPresent(bool present)
    {
        if (present)
            bus.registerService(service);
        else
            bus.unregisterService(service);
    }

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &m, const QDBusConnection &bus) override
    {
        const QString member = m.member() == QLatin1String("Get") ? m.arguments().value(1).toString() : m.member();
        calls << member;
        if (silent)
            return true;
        QVariantList out;
        if (member == QLatin1String("GlobalEngine")) {
            out << QVariant::fromValue(
                QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant::fromValue(engineDesc(engine))))));
        } else if (member == QLatin1String("GetEnginesByNames")) {
            QDBusArgument list;
            list.beginArray(QMetaType::fromType<QDBusVariant>());
            for (const QString &name : m.arguments().first().toStringList())
                if (installed.contains(name))
                    list << QDBusVariant(QVariant::fromValue(engineDesc(name)));
            list.endArray();
            out << QVariant::fromValue(list);
        } else if (member == QLatin1String("State")) {
            out << 2; // active
        } else if (member == QLatin1String("SetGlobalEngine")) {
            engine = m.arguments().first().toString();
        }
        return bus.send(m.createReply(out));
    }
};

} // namespace

using IbusEngineChoice = table::Of<QString, QStringList, QString, ImeSwitch::Outcome>;

using AbsentOrSilentLeavesTheBoxAlone = table::Of<bool, ImeSwitch::Outcome>;

class tst_ImeSwitch : public QObject
{
    Q_OBJECT
    ServerProcess m_session, m_ibusBus; // message buses of the test's own
    std::unique_ptr<FakeInputMethod> m_fcitx, m_ibus;

    void reset(bool present, bool silent = false)
    {
        for (FakeInputMethod *s : {m_fcitx.get(), m_ibus.get()}) {
            s->calls.clear();
            s->silent = silent;
            s->setPresent(present);
        }
    }
    // One switch on a box of the test's own; the outcome for each input method asked.
    static QMap<QString, ImeSwitch::Outcome> switchOnce()
    {
        QLineEdit box;
        ImeSwitch ime(&box);
        QSignalSpy done(&ime, &ImeSwitch::finished);
        ime.switchOn();
        QMap<QString, ImeSwitch::Outcome> out;
        if (QTest::qWaitFor([&] { return done.count() == 2; }))
            for (const QList<QVariant> &d : done)
                out.insert(d.at(0).toString(), d.at(1).value<ImeSwitch::Outcome>());
        return out;
    }

private slots:
    void initTestCase()
    {
        const QString session = QString::fromLatin1(startBus(m_session)),
                      ibus = QString::fromLatin1(startBus(m_ibusBus));
        if (session.isEmpty() || ibus.isEmpty())
            QSKIP("dbus-daemon could not start a private bus");
        qputenv("DBUS_SESSION_BUS_ADDRESS", session.toLatin1());
        qputenv("IBUS_ADDRESS", ibus.toLatin1());
        m_fcitx = std::make_unique<FakeInputMethod>(session, "fake-fcitx", "org.fcitx.Fcitx5", "/controller");
        m_ibus = std::make_unique<FakeInputMethod>(ibus, "fake-ibus", "org.freedesktop.IBus", "/org/freedesktop/IBus");
        QVERIFY(m_fcitx->bus.isConnected() && m_ibus->bus.isConnected());
    }
    void ibusEngineChoice_data()
    {
        const IbusEngineChoice row;
        row("first of the three", "xkb:jp::jpn", {"kkc", "anthy", "mozc-jp"}, "mozc-jp", ImeSwitch::Outcome::Switched);
        row("the one in use stays", "anthy", {"anthy", "mozc-jp"}, "anthy", ImeSwitch::Outcome::AlreadyOn);
        row("none installed", "xkb:us::eng", {"pinyin"}, "xkb:us::eng", ImeSwitch::Outcome::Failed);
    }
    void ibusEngineChoice()
    {
        auto [current, installed, after, outcome] = IbusEngineChoice::row();
        reset(true);
        m_ibus->engine = current;
        m_ibus->installed = installed;
        QCOMPARE(switchOnce().value(QStringLiteral("ibus")), outcome);
        QCOMPARE(m_ibus->engine, after);
    }
    void absentOrSilentLeavesTheBoxAlone_data()
    {
        const AbsentOrSilentLeavesTheBoxAlone row;
        row("none running", false, ImeSwitch::Outcome::Absent);
        row("never answering", true, ImeSwitch::Outcome::NoAnswer);
    }
    void absentOrSilentLeavesTheBoxAlone()
    {
        const auto [present, outcome] = AbsentOrSilentLeavesTheBoxAlone::row();
        reset(present, present);
        MailEdit box;
        box.setImeMode(1);
        QSignalSpy done(box.findChild<ImeSwitch *>(), &ImeSwitch::finished);
        box.show();
        box.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&box));
        box.setFocus();
        QVERIFY(box.hasFocus());
        // The focus returned before any answer, and the box takes typing meanwhile.
        QCOMPARE(done.count(), 0);
        QTest::keyClicks(&box, QStringLiteral("abc"));
        QCOMPARE(box.toPlainText(), QStringLiteral("abc"));
        QTRY_COMPARE(done.count(), 2);
        for (const QList<QVariant> &d : done)
            QCOMPARE(d.at(1).value<ImeSwitch::Outcome>(), outcome);
        // Absent: the bus said so at once, and nothing reached the input methods.
        if (!present)
            QCOMPARE(m_fcitx->calls + m_ibus->calls, QStringList());
    }
};

QTEST_MAIN(tst_ImeSwitch)
#include "tst_imeswitch.moc"
