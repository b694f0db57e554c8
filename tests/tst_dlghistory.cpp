#include "store/appdata.h"
#include "ui/dlghistory.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

// The history viewer over tables built in memory; the main window's message is a plain string here.
class tst_dlgHistory : public QObject
{
    Q_OBJECT

    AppData m_data;
    QString m_mail;
    int m_mailChanges = 0;
    std::unique_ptr<dlgHistory> m_dialog;

    template <class T> T *c(const char *name) { return m_dialog->findChild<T *>(QString::fromLatin1(name)); }
    void open(const QList<HistoryEntry> &rows, int count = 20)
    {
        m_data = AppData();
        m_data.history.resize(count);
        for (int i = 0; i < rows.size(); ++i)
            m_data.history.row(i) = rows[i];
        m_mailChanges = 0;
        m_dialog = std::make_unique<dlgHistory>(
            m_data, [this] { return m_mail; },
            [this](const QString &text) {
                m_mail = text;
                ++m_mailChanges;
            });
    }
    QString shown() const
    {
        return m_dialog->findChild<QLabel *>("lblDateTime")->text() + '|' +
               m_dialog->findChild<QLabel *>("lblNumberCenter")->text() + '|' +
               m_dialog->findChild<QPlainTextEdit *>("txtPREVIEW")->toPlainText();
    }
    static HistoryEntry entry(const QString &who, const QString &message, const QString &at = "2026/12/06 10:00:00")
    {
        return {who, QStringLiteral("センターA"), at, message};
    }

private slots:
    // The newest is shown at once; an empty row ends the list; the same message sent twice
    // is two entries, each shown with its own row.
    void entriesShown()
    {
        open({entry("太郎", "same", "2026/12/06 12:00:00"), entry("花子", "same"), entry("", "m2"), entry("d", "m3")});
        QCOMPARE(c<QComboBox>("cmbHistory")->count(), 2);
        QCOMPARE(c<QComboBox>("cmbHistory")->currentIndex(), 0);
        QCOMPARE(shown(), QStringLiteral("2026/12/06 12:00:00|太郎 / センターA|same"));
        c<QComboBox>("cmbHistory")->setCurrentIndex(1);
        QCOMPARE(shown(), QStringLiteral("2026/12/06 10:00:00|花子 / センターA|same"));
    }

    // Paste adds the selection or the whole message, and nothing from an empty history.
    void pasteAppendsSelectionOrWhole()
    {
        open({});
        m_mail = QStringLiteral("abc");
        c<QPushButton>("cmdPaste")->click();
        QCOMPARE(m_mailChanges, 0);
        open({entry("a", "xyz")});
        m_dialog->show();
        auto *preview = c<QPlainTextEdit>("txtPREVIEW");
        auto *paste = c<QPushButton>("cmdPaste");
        paste->click();
        QCOMPARE(m_mail, QStringLiteral("abcxyz"));
        m_mail = QStringLiteral("abc");
        QTextCursor cursor = preview->textCursor();
        cursor.setPosition(1);
        cursor.setPosition(2, QTextCursor::KeepAnchor);
        preview->setTextCursor(cursor);
        paste->click();
        QCOMPARE(m_mail, QStringLiteral("abcy"));
        QVERIFY(!preview->textCursor().hasSelection());
        paste->click();
        QCOMPARE(m_mail, QStringLiteral("abcyxyz"));
        QCOMPARE(m_mailChanges, 3);
        QVERIFY(m_dialog->isVisible()); // the dialog stays open
    }
};

QTEST_MAIN(tst_dlgHistory)
#include "tst_dlghistory.moc"
