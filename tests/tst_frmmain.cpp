#include "app/sessionend.h"
#include "encoding/codetable.h"
#include "modem/sendengine.h"
#include "store/appdata.h"
#include "store/apperror.h"
#include "support/filehelpers.h"
#include "support/mainwindowrig.h"
#include "support/press.h"
#include "support/table.h"
#include "ui/clicklabel.h"
#include "ui/frmmain.h"
#include "ui/mailedit.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <csignal>

namespace
{

MessageCenter center(const QString &name, int kind, int maxChars)
{
    return {name, qint16(kind), QStringLiteral("0120"), qint16(maxChars), 1, 1, 1};
}

const QList<MessageCenter> twoCenters{center(QStringLiteral("ドコモ"), 0, 3), center(QStringLiteral("Jフォン"), 2, 5)};

} // namespace

// Every way out hangs up and writes both files, also when the device is gone. (SIGTERM and SIGHUP
// close the window, as its close box does. The exit button runs cmdExit_Click, as the menu does. The process end
// throws here, so it is never sent through a signal, which would leak Qt's guards.)
enum ExitWay { ExitMenu, ExitButton, CloseBox };

// pressed: empty: no button
using ReturnAndEscape = table::Of<int, QString, int, QString>;

using CountAgainstLimit = table::Of<int, int, QString, QString>;

using ExitHangsUpAndEnds = table::Of<int, bool, int, bool, QByteArray>;

class tst_frmMain : public QObject
{
    Q_OBJECT
private slots:
    // Choosing a recipient chooses its centre; none when it names none or one beyond the list.
    void recipientSelectsCentre()
    {
        for (const int linked : {1, -1, 2}) {
            MainWindowRig f(twoCenters, {{QStringLiteral("A"), 0, "1"}, {QStringLiteral("B"), qint16(linked), "2"}});
            QCOMPARE(f.w().cmbCenter->currentIndex(), 0);
            f.w().cmbNumber->setCurrentIndex(1);
            QCOMPARE(f.w().cmbCenter->currentIndex(), linked == 1 ? 1 : -1);
        }
    }
    // A double click on the third panel toggles automatic sending (any stored value other than 1 counts
    // as off); the other panels leave it alone.
    void panel3DoubleClick()
    {
        MainWindowRig f;
        f.data.settings.AutoTransmit = 5;
        for (int expected : {1, 0}) {
            QTest::mouseDClick(f.w().stbSTATUS[2], Qt::LeftButton);
            QCOMPARE(int(f.data.settings.AutoTransmit), expected);
        }
        QTest::mouseDClick(f.w().stbSTATUS[1], Qt::LeftButton);
        QCOMPARE(int(f.data.settings.AutoTransmit), 0);
    }
    // A focused push button takes Return and Space; elsewhere Return presses the send button only
    // while ReturnStart is 1, and Esc the hang-up button.
    void returnAndEscape_data()
    {
        const ReturnAndEscape row;
        const int ret = Qt::Key_Return, enter = Qt::Key_Enter, space = Qt::Key_Space, esc = Qt::Key_Escape;
        for (int rs : {1, 0}) {
            const QString send = rs == 1 ? QStringLiteral("cmdButton") : QString();
            QTest::addRow("%d: Return in the message box", rs) << ReturnAndEscape::Row{rs, "txtMail", ret, send};
            QTest::addRow("%d: Enter in a selector", rs) << ReturnAndEscape::Row{rs, "cmbNumber", enter, send};
            QTest::addRow("%d: Return on the hang-up button", rs) << ReturnAndEscape::Row{rs, "cmdCut", ret, "cmdCut"};
            QTest::addRow("%d: Space on the hang-up button", rs) << ReturnAndEscape::Row{rs, "cmdCut", space, "cmdCut"};
            QTest::addRow("%d: Space in the message box", rs) << ReturnAndEscape::Row{rs, "txtMail", space, ""};
            QTest::addRow("%d: Esc in the message box", rs) << ReturnAndEscape::Row{rs, "txtMail", esc, "cmdCut"};
        }
    }
    void returnAndEscape()
    {
        const auto [returnStart, focus, key, pressed] = ReturnAndEscape::row();
        MainWindowRig f({center(QStringLiteral("C"), 0, 50)});
        f.data.settings.ReturnStart = qint16(returnStart);
        f.w().prepareWindow();
        f.w().show();
        QStringList clicked;
        for (QPushButton *b : {f.w().cmdButton, f.w().cmdCut, f.w().cmdOptimize})
            connect(b, &QPushButton::clicked, b, [&clicked, b] { clicked << b->objectName(); });
        auto *target = f.w().findChild<QWidget *>(focus);
        target->setFocus();
        QCOMPARE(f.w().focusWidget(), target);
        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(clicked, pressed.isEmpty() ? QStringList() : QStringList(pressed));
        QVERIFY(!f.w().txtMail->toPlainText().contains(u'\n')); // never a line break
    }
    void tabLeavesTheMessageBox()
    {
        MainWindowRig f({center(QStringLiteral("C"), 0, 50)});
        f.w().show();
        f.w().txtMail->setFocus();
        QTest::keyClicks(f.w().txtMail, QStringLiteral("ab"));
        QTest::keyClick(f.w().txtMail, Qt::Key_Tab);
        QCOMPARE(f.w().focusWidget(), f.w().cmbNumber);
        QTest::keyClick(f.w().cmbNumber, Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(f.w().focusWidget(), f.w().txtMail);
        QCOMPARE(f.w().txtMail->toPlainText(), QStringLiteral("ab"));
        QCOMPARE(f.w().statusText(5), QStringLiteral("2/50"));
    }
    // ¥ and ‾, typed, pasted or composed, are the CP932 characters 0x5C and 0x7E: counted and sent as those;
    // a character CP932 cannot carry is refused with a beep.
    void yenSignAndOverline()
    {
        MainWindowRig f({center(QStringLiteral("C"), 2, 50)});
        const QString yen(QChar(0x00A5)), overline(QChar(0x203E)), face = QString::fromUcs4(U"\U0001F600");
        for (const QString &typed : {yen, face, overline}) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, typed);
            QApplication::sendEvent(f.w().txtMail, &press);
        }
        QApplication::clipboard()->setText(overline + face + yen);
        f.w().txtMail->paste();
        QInputMethodEvent composed;
        composed.setCommitString(yen + face);
        QApplication::sendEvent(f.w().txtMail, &composed);
        QCOMPARE(f.w().txtMail->toPlainText(), QStringLiteral("\\~~\\\\"));
        QCOMPARE(f.fake.boxes.beeps, 3);                       // once for each way the face came in
        QCOMPARE(f.w().statusText(5), QStringLiteral("5/50")); // one byte each
        QCOMPARE(messagePieces(f.w().txtMail->toPlainText(), 99),
                 QStringList(QStringLiteral("*2*2767676"))); // 0x7E has no code
    }
    void countAgainstLimit_data()
    {
        const CountAgainstLimit row;
        row("characters, equal", 0, 3, "あいう", "3/3");
        row("characters, one more", 0, 3, "あいうa", "4/3");
        row("bytes, equal", 2, 6, "あいう", "6/6");
        row("bytes, one more", 2, 5, "あいう", "6/5");
    }
    void countAgainstLimit()
    {
        const auto [kind, limit, text, panel] = CountAgainstLimit::row();
        MainWindowRig f({center(QStringLiteral("C"), kind, limit)});
        f.w().txtMail->setPlainText(text);
        QCOMPARE(f.w().statusText(5), panel);
        const bool tooLong = panel.section('/', 0, 0).toInt() > limit;
        QCOMPARE(f.w().cmdButton->isEnabled(), !tooLong);
        QCOMPARE(f.fake.boxes.beeps, tooLong ? 1 : 0);
        QTest::keyClicks(f.w().txtMail, QStringLiteral("x")); // every further change while too long beeps again
        QCOMPARE(f.fake.boxes.beeps, tooLong ? 2 : 1);
    }
    void wholeSendThroughTheWindow()
    {
        MainWindowRig f({center(QStringLiteral("C"), 0, 50)}, {{QStringLiteral("R"), 0, QStringLiteral("0901234")}});
        f.data.settings.MailInterval = 0;
        f.w().txtMail->setPlainText(QStringLiteral("ABC"));
        for (const char *caption : {"電話番号を送る", "メールを送る", "回線を切る", "送ったよ！", "もう一回送る"}) {
            QVERIFY(f.w().cmdButton->isEnabled());
            QVERIFY(pressAndSettle(f.w().engine(), [&] { f.w().cmdButton->click(); }));
            QCOMPARE(f.w().cmdButton->text(), QString::fromUtf8(caption));
            if (f.port.isOpen()) { // the one-second timer counts while the line is open
                f.w().timTIME_Timer();
                QCOMPARE(f.w().statusText(2), QStringLiteral("1"));
            }
        }
        QCOMPARE(f.port.written(),
                 QByteArray("ATZ\rATE0M1L3Q0V1X4&C1T\rATD0120T;\rATD0901234#;\rATD*2*2161718;\rATD##;\rATH\r"));
        const HistoryEntry &row = f.data.history.row(0);
        QCOMPARE(QStringList({row.recipientName, row.centerName, row.message}), QStringList({"R", "C", "ABC"}));
        QVERIFY(!f.port.isOpen());
        QVERIFY(f.w().txtMail->isEnabled());
        f.w().timTIME_Timer();
        QVERIFY(!f.w().timTIME->isActive());
    }
    void exitHangsUpAndEnds_data()
    {
        const ExitHangsUpAndEnds row;
        row("port closed", int(ExitMenu), false, 0, false, {});
        row("modem", int(ExitButton), true, 0, false, "ATH\r");
        row("link cable", int(CloseBox), true, 6, false, QByteArray(1, char(0xA4)));
        for (int way : {ExitMenu, ExitButton, CloseBox})
            QTest::addRow("device gone, way %d", way) << ExitHangsUpAndEnds::Row{way, true, 0, true, "ATH\r"};
    }
    void exitHangsUpAndEnds()
    {
        const auto [way, open, modemKind, failWrites, written] = ExitHangsUpAndEnds::row();
        MainWindowRig f;
        f.data.settings.ModemKind = qint16(modemKind);
        f.data.history.add(
            {QStringLiteral("R"), QStringLiteral("C"), QStringLiteral("2026/12/01 10:00:00"), QStringLiteral("m")});
        f.port.setPortOpen(open);
        if (failWrites)
            f.port.onWrite = [](const QByteArray &) {
                throw AppError(8018, QStringLiteral("MSComm"), QStringLiteral("device gone"));
            };
        if (way == ExitMenu)
            QVERIFY_THROWS_EXCEPTION(ProcessEnded, f.w().mnuFILE_Click(frmMain::FileItem::Exit));
        else if (way == ExitButton)
            QVERIFY_THROWS_EXCEPTION(ProcessEnded, f.w().cmdExit_Click());
        else {
            QCloseEvent closeBox;
            QVERIFY_THROWS_EXCEPTION(ProcessEnded, QApplication::sendEvent(&f.w(), &closeBox));
        }
        QCOMPARE(f.port.written(), written);
        QCOMPARE(readFileBytes(f.data.settingsPath()), settingsfile::bytes(f.data));
        QCOMPARE(readFileBytes(f.data.historyPath()), QByteArray("\"R\",\"C\",\"2026/12/01 10:00:00\"\r\nm\r\n"));
    }
    void signalClosesTheWindow()
    {
        for (const int signal : {SIGTERM, SIGHUP}) {
            auto *window = new QWidget;
            window->setAttribute(Qt::WA_DeleteOnClose);
            window->show();
            closeOnSessionEnd(*window);
            QSignalSpy closed(window, &QObject::destroyed);
            ::raise(signal);
            QVERIFY2(closed.wait(5000), qPrintable(QString::number(signal)));
        }
    }
};

QTEST_MAIN(tst_frmMain)
#include "tst_frmmain.moc"
