#include "modem/devicekind.h"
#include "store/appdata.h"
#include "store/passwordstore.h"
#include "support/fakeplatform.h"
#include "support/filehelpers.h"
#include "support/portbank.h"
#include "support/table.h"
#include "ui/dlgmodemdet.h"
#include "ui/dlgoption.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

// A keyring in memory that answers at once, or refuses every write.
class MemoryPasswords : public PasswordStore
{
public:
    QMap<QString, QString> entries;
    QString writeError;
    void readPassword(const QString &key, std::function<void(QString, QString)> done) override
    {
        done(entries.value(key), QString());
    }
    void writePassword(const QString &key, const QString &password, std::function<void(QString)> done) override
    {
        if (writeError.isEmpty() && password.isEmpty())
            entries.remove(key);
        else if (writeError.isEmpty())
            entries[key] = password;
        done(writeError);
    }
};

// stored: -1: refused; historyOff: the history switched off first
using NumbersAreChecked = table::Of<QString, QString, bool, int, QString>;

using UnshowableValuesOpenAsNearest = table::Of<int, int, int, int, QString, int>;

using NewKindsGroup = table::Of<int, bool, bool, bool, bool>;

using SipAccount = table::Of<QString, QByteArray, bool>;

// The options dialog shown offscreen; OK and Cancel are pressed as a user would.
class tst_dlgOption : public QObject
{
    Q_OBJECT

    AppData m_data;
    FakePlatform m_fake;
    VirtualWaiter m_waiter;
    PortBank m_port{m_waiter};
    std::unique_ptr<dlgOption> m_dialog;

    template <class T> T *c(const char *name) { return m_dialog->findChild<T *>(QString::fromLatin1(name)); }
    QLineEdit *field(const char *name) { return c<QLineEdit>(name); }
    void open(const Settings &settings = Settings::defaults())
    {
        m_data.settings = settings;
        m_fake.boxes.shown.clear();
        m_dialog = std::make_unique<dlgOption>(m_data, m_fake.platform, m_port, m_waiter);
        m_dialog->show();
    }
    void press(const char *button) { c<QPushButton>(button)->click(); }
    bool accepted() const { return !m_dialog->isVisible() && m_dialog->result() == QDialog::Accepted; }

private slots:
    // With the history off its count is not checked: a usable one is kept, another leaves
    // the stored count as it was (a negative one would make the file unreadable).
    void numbersAreChecked_data()
    {
        const NumbersAreChecked row;
        const QString port = QStringLiteral("MODEMのポートは1～15の範囲で指定してください。");
        const QString chars = QStringLiteral("一回に送信する文字数は1～20の範囲で指定してください。");
        const QString interval = QStringLiteral("メール送信中の送信間隔は1～10の範囲で指定してください。");
        const QString history = QStringLiteral("送信履歴の数は0～32766の範囲で指定してください。");
        const int kept = Settings::defaults().HistoryCount;
        row("port 0", "txtCom", "0", false, -1, port);
        row("port 16", "txtCom", "16", false, -1, port);
        row("port 3a", "txtCom", "3a", false, -1, port);
        row("port 15 with blanks", "txtCom", " 15 ", false, 15, {});
        row("chars 21", "txtSTRINGS", "21", false, -1, chars);
        row("chars 2.5 rounds even", "txtSTRINGS", "2.5", false, 2, {});
        row("interval 11", "txtINTERVAL", "11", false, -1, interval);
        row("interval 0", "txtINTERVAL", "0", false, -1, interval);
        row("history -1", "txtHISTORY", "-1", false, -1, history);
        row("history 32767", "txtHISTORY", "32767", false, -1, history);
        row("history 32766", "txtHISTORY", "32766", false, 32766, {});
        row("history off, usable", "txtHISTORY", "5", true, 5, {});
        row("history off, negative", "txtHISTORY", "-1", true, kept, {});
        row("history off, words", "txtHISTORY", "abc", true, kept, {});
        row("history off, too large", "txtHISTORY", "40000", true, kept, {});
    }
    void numbersAreChecked()
    {
        const auto [fieldName, text, historyOff, stored, message] = NumbersAreChecked::row();
        open();
        field("txtExCommand")->setText(QStringLiteral("AT&F"));
        field(fieldName.toLatin1().constData())->setText(text);
        if (historyOff)
            c<QCheckBox>("chkHISTORY")->click();
        press("OKButton");
        if (stored < 0) {
            QCOMPARE(m_fake.boxes.texts(), QStringList{message});
            QCOMPARE(m_fake.boxes.shown[0].icon, MessageBoxes::Warning);
            QVERIFY(m_dialog->isVisible());
            QCOMPARE(m_data.settings, Settings::defaults());
            return;
        }
        QVERIFY(accepted());
        QCOMPARE(m_data.settings.ExCommand, QStringLiteral("AT&F"));
        QCOMPARE(m_data.settings.History, qint16(historyOff ? 0 : 1));
        const Settings &s = m_data.settings;
        const QMap<QString, int> got{{"txtCom", s.PortNumber},
                                     {"txtSTRINGS", s.SendStrings},
                                     {"txtINTERVAL", s.MailInterval},
                                     {"txtHISTORY", s.HistoryCount}};
        QCOMPARE(got.value(fieldName), stored);
    }

    // Every control reaches its setting at OK, none at Cancel.
    void okStoresEveryControl()
    {
        Settings want = Settings::defaults();
        want.PortNumber = 4;
        want.ModemKind = 7;
        want.TonePulse = QStringLiteral("P");
        want.DialSpeed = 10;
        want.SpeakerVolume = 1;
        want.SpeakerOff = want.OutsideOn = want.AutoTransmit = want.IME = want.OkCheckNo = want.InhibitModemManager = 1;
        want.ReturnStart = 0;
        want.OutSide = QStringLiteral("0");
        want.SendStrings = 10;
        want.MailInterval = 3;
        want.ExCommand = QStringLiteral("ATX3");
        for (const Settings &expected : {Settings::defaults(), want}) {
            open();
            field("txtCom")->setText(QStringLiteral("4"));
            c<QComboBox>("cmbMODEM")->setCurrentIndex(7);
            c<QRadioButton>("optDIAL_1")->click();
            c<QRadioButton>("optDialSpeed_1")->click();
            c<QSlider>("sldVOLUME")->setValue(1);
            for (const char *box : {"chkSpeakerOff", "chkOutside", "chkAUTO", "chkIME", "chkOkCheck", "chkReturnStart",
                                    "chkInhibitModemManager"})
                c<QCheckBox>(box)->click();
            field("txtOUTSIDE")->setText(QStringLiteral("0"));
            field("txtSTRINGS")->setText(QStringLiteral("10"));
            field("txtINTERVAL")->setText(QStringLiteral("3"));
            field("txtExCommand")->setText(QStringLiteral("ATX3"));
            press(expected == want ? "OKButton" : "CancelButton");
            QCOMPARE(m_data.settings, expected);
        }
    }

    void unshowableValuesOpenAsNearest_data()
    {
        const UnshowableValuesOpenAsNearest row;
        const int last = int(deviceKinds().size()) - 1;
        row("too high", last + 2, 30, 7, last, "optDialSpeed_2", 3);
        row("too low", -2, 0, -1, 0, "optDialSpeed_1", 0);
        row("speed 29 shows its tens", 0, 29, 2, 0, "optDialSpeed_2", 2);
    }
    void unshowableValuesOpenAsNearest()
    {
        const auto [modemKind, dialSpeed, volume, shownKind, shownSpeed, shownVolume] =
            UnshowableValuesOpenAsNearest::row();
        Settings s = Settings::defaults();
        s.ModemKind = qint16(modemKind);
        s.DialSpeed = qint16(dialSpeed);
        s.SpeakerVolume = qint16(volume);
        open(s);
        QCOMPARE(c<QComboBox>("cmbMODEM")->currentIndex(), shownKind);
        QVERIFY(c<QRadioButton>(shownSpeed.toLatin1().constData())->isChecked());
        QCOMPARE(c<QSlider>("sldVOLUME")->value(), shownVolume);
        press("CancelButton");
        QCOMPARE(m_data.settings, s);
        open(s);
        press("OKButton");
        QCOMPARE(int(m_data.settings.ModemKind), shownKind);
        QCOMPARE(int(m_data.settings.SpeakerVolume), shownVolume);
    }

    // The newer kinds' group shows only for them; the sound card uses no port, and the
    // module paces its tones itself. A field a kind does not use is neither checked
    // nor stored (the stored port 0 here would be refused).
    void newKindsGroup_data()
    {
        const NewKindsGroup row;
        row("modem 3", 7, false, true, false, false);
        row("module", 8, true, true, false, true);
        row("sound card", 9, true, false, true, true);
        row("sip", 10, false, false, false, false);
        row("ModemManager's module: the gap alone", 11, true, false, true, false);
    }
    void newKindsGroup()
    {
        const auto [kind, shown, portUsed, gapUsed, lengthUsed] = NewKindsGroup::row();
        Settings s = Settings::defaults();
        s.ModemKind = qint16(kind);
        s.PortNumber = 0;
        open(s);
        QCOMPARE(!c<QGroupBox>("fraTONE")->isHidden(), shown);
        QCOMPARE(field("txtCom")->isEnabled(), portUsed);
        QCOMPARE(c<QCheckBox>("chkInhibitModemManager")->isEnabled(), portUsed);
        field("txtToneLength")->setText(QStringLiteral("60"));
        field("txtToneGap")->setText(QStringLiteral("300"));
        press("OKButton");
        QCOMPARE(accepted(), !portUsed);
        if (portUsed) {
            QCOMPARE(m_fake.boxes.texts(), QStringList{"MODEMのポートは1～15の範囲で指定してください。"});
            field("txtCom")->setText(QStringLiteral("2"));
            press("OKButton");
            QVERIFY(accepted());
        }
        QCOMPARE(int(m_data.settings.ModemKind), kind);
        QCOMPARE(int(m_data.settings.PortNumber), portUsed ? 2 : 0);
        QCOMPARE(int(m_data.settings.ToneLength), lengthUsed ? 60 : 100);
        QCOMPARE(int(m_data.settings.ToneGap), gapUsed ? 300 : 100);
    }

    // The SIP account: the password goes to the keyring under the account's key and
    // never into the settings; a refusing keyring keeps the dialog open and stores nothing.
    // The password follows the account: the old entry goes unless a queue line still
    // calls through it. Transport and proxy are stored with the account.
    void sipAccount_data()
    {
        const SipAccount row;
        row("stored", {}, {}, false);
        row("keyring refuses", "locked", {}, true);
        row("a queue line uses the old account", {},
            "[Queue]\nDelays=1m\n[line office]\nSipServer = pbx.test\nSIPUSER=old\n", true);
        row("a queue line uses another account", {}, "[Line office]\nSipServer=pbx.test\nSipUser=older\n", false);
    }
    void sipAccount()
    {
        auto [writeError, queueIni, oldKept] = SipAccount::row();
        QTemporaryDir folder;
        m_data.folder = folder.path() + u'/';
        if (!queueIni.isEmpty()) {
            QVERIFY(QDir().mkpath(folder.filePath(QStringLiteral("queue"))));
            QVERIFY(writeFileBytes(folder.filePath(QStringLiteral("queue/queue.ini")), queueIni));
        }
        MemoryPasswords keyring;
        keyring.writeError = writeError;
        keyring.entries[sipPasswordKey("old", "pbx.test")] = QStringLiteral("before");
        m_fake.platform.passwords = &keyring;
        Settings s = Settings::defaults();
        s.ModemKind = 10;
        s.SipServer = QStringLiteral("pbx.test");
        s.SipUser = QStringLiteral("old");
        open(s);
        QCOMPARE(field("txtSipPassword")->text(), QStringLiteral("before"));
        field("txtSipServer")->setText(QStringLiteral(" 127.0.0.1:5062 "));
        field("txtSipUser")->setText(QStringLiteral("alice"));
        field("txtSipPassword")->setText(QStringLiteral("secret"));
        field("txtSipProxy")->setText(QStringLiteral(" proxy.test:5060 "));
        auto *transport = c<QComboBox>("cmbSipTransport");
        auto *tlsNote = c<QLabel>("lblSipTlsNote");
        QVERIFY(!tlsNote->isVisibleTo(m_dialog.get()));
        transport->setCurrentIndex(2);
        QVERIFY(tlsNote->isVisibleTo(m_dialog.get()));
        press("OKButton");
        m_fake.platform.passwords = nullptr;
        m_data.folder.clear();
        QCOMPARE(accepted(), writeError.isEmpty());
        QCOMPARE(m_fake.boxes.texts().size(), writeError.isEmpty() ? 0 : 1);
        QCOMPARE(m_data.settings.SipServer, writeError.isEmpty() ? QStringLiteral("127.0.0.1:5062") : s.SipServer);
        QCOMPARE(m_data.settings.SipTransport, writeError.isEmpty() ? QStringLiteral("tls") : QStringLiteral("udp"));
        QCOMPARE(m_data.settings.SipProxy, writeError.isEmpty() ? QStringLiteral("proxy.test:5060") : QString());
        QCOMPARE(keyring.entries.value(sipPasswordKey("alice", "127.0.0.1:5062")),
                 writeError.isEmpty() ? QStringLiteral("secret") : QString());
        QCOMPARE(keyring.entries.contains(sipPasswordKey("old", "pbx.test")), oldKept);
    }

    void detectionLeavesItsPortInTheBox()
    {
        m_port.devices.clear();
        m_port.devices[3] = {PortBank::Present, "ATI6\r\r\nX\r\n\r\nOK\r\n"};
        open();
        QTimer::singleShot(0, this, [this] {
            auto *detection = m_dialog->findChild<dlgModemDet *>();
            QVERIFY(detection);
            detection->findChild<QPushButton *>("cmdDetModem")->click();
            m_waiter.run();
            detection->findChild<QPushButton *>("cmdClose")->click();
        });
        press("cmdDetModem");
        QCOMPARE(field("txtCom")->text(), QStringLiteral("3"));
        QCOMPARE(m_data.settings.PortNumber, qint16(3));
        press("CancelButton");
        QCOMPARE(m_data.settings.PortNumber, qint16(3)); // what detection found stays
    }
};

QTEST_MAIN(tst_dlgOption)
#include "tst_dlgoption.moc"
