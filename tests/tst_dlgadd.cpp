#include "store/appdata.h"
#include "store/settingsfile.h"
#include "support/fakeplatform.h"
#include "support/table.h"
#include "ui/dlgadd.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace
{
// Centres A, B, C (kinds 0, 1, 2) and one recipient linked to each.
AppData threeCentres()
{
    AppData data;
    data.settings = Settings::defaults();
    for (int i = 0; i < 3; ++i) {
        const QString n(QChar(u'A' + i));
        data.centers.append(
            {n, qint16(i), QStringLiteral("0%1").arg(i), qint16(100 + i), qint16(i), qint16(i + 1), qint16(i + 2)});
        data.recipients.append({QStringLiteral("r") + n, qint16(i), QStringLiteral("090%1").arg(i)});
    }
    return data;
}

const QString confirmAdd = QStringLiteral("追加してもよろしいですか？");
} // namespace

using AddWarnsThenAsks = table::Of<bool, QString, int, QStringList, QString>;

using RefusesWhatTheFileCannotCarry = table::Of<QString, QString, QString>;

using TypedTakenAsStored = table::Of<QString, QString, QString, QString>;

// The address book editor driven through its controls, as a user would, with scripted message boxes.
class tst_dlgAdd : public QObject
{
    Q_OBJECT

    AppData m_data;
    FakePlatform m_fake;
    std::unique_ptr<dlgAdd> m_dialog;

    template <class T> T *c(const char *name) { return m_dialog->findChild<T *>(QString::fromLatin1(name)); }
    QLineEdit *field(const char *name) { return c<QLineEdit>(name); }
    void open(const AppData &data)
    {
        m_data = data;
        m_fake.boxes.shown.clear();
        m_fake.boxes.answers.clear();
        m_dialog = std::make_unique<dlgAdd>(m_data, m_fake.platform);
    }
    void centreMode() { c<QRadioButton>("optCenter")->click(); }
    void click(const char *button) { c<QPushButton>(button)->click(); }
    void select(const char *list, int row) { c<QListWidget>(list)->setCurrentRow(row); }
    void fillCentre(const QString &name, const QString &max, const QStringList &times)
    {
        field("txtAddName")->setText(name);
        field("txtAddNumber")->setText(QStringLiteral("0120"));
        field("txtMaxText")->setText(max);
        for (int i = 0; i < 3; ++i)
            field(QStringLiteral("txtTIME_%1").arg(i).toLatin1().constData())->setText(times.value(i));
    }
    QStringList items(const char *name)
    {
        QStringList out;
        if (auto *list = c<QListWidget>(name))
            for (int i = 0; i < list->count(); ++i)
                out << list->item(i)->text();
        if (auto *combo = c<QComboBox>(name))
            for (int i = 0; i < combo->count(); ++i)
                out << combo->itemText(i);
        return out;
    }
    // What the editor left must come back unchanged through the settings file.
    void checkRoundTrip()
    {
        QTemporaryDir dir;
        AppData saved = m_data;
        saved.folder = dir.path() + QLatin1Char('/');
        QVERIFY(!SaveSettingsFile(saved));
        AppData loaded;
        loaded.folder = saved.folder;
        QVERIFY(!LoadSettingsFile(loaded));
        QCOMPARE(loaded.centers, m_data.centers);
        QCOMPARE(loaded.recipients, m_data.recipients);
    }

private slots:
    // The warning (if any), then the question.
    void addWarnsThenAsks_data()
    {
        const AddWarnsThenAsks row;
        const QStringList zero{"0", "0", "0"};
        row("empty name", false, "", 0, zero, "相手の名前、または番号を入力してください。");
        row("no centre chosen", false, "x", 0, zero, "後でセンターを選択してくださいね。");
        row("limit 0 hides a negative time", true, "x", 0, {"-1", "-1", "-1"}, "最大文字数が適切ではありません。");
        row("negative time 0", true, "x", 12, {"-1", "0", "0"}, "時間の間隔が適切ではありません。");
        row("clean centre", true, "x", 160, {"5", "3", "2"}, "");
    }
    void addWarnsThenAsks()
    {
        const auto [centre, name, max, times, warning] = AddWarnsThenAsks::row();
        open(threeCentres());
        if (centre)
            centreMode();
        fillCentre(name, QString::number(max), times);
        click("cmdAdd");
        QCOMPARE(m_fake.boxes.texts(),
                 (warning.isEmpty() ? QStringList{confirmAdd} : QStringList{warning, confirmAdd}));
        QCOMPARE(m_fake.boxes.shown.last().buttons, MessageBoxes::YesNo);
        if (centre) {
            QCOMPARE(m_data.centers.size(), 4);
            QCOMPARE(m_data.centers.last().maxChars, qint16(max));
            QCOMPARE(m_data.centers.last().waitBeforeNumber, qint16(times.value(0).toInt()));
            QCOMPARE(items("lstCenter").last(), name);
        } else {
            QCOMPARE(m_data.recipients.last(), (Recipient{name, -1, QStringLiteral("0120")}));
            QCOMPARE(items("lstNumber").last(), name);
        }
        QCOMPARE(field("txtAddName")->text(), QString()); // cleared after adding
    }

    void answeringNoChangesNothing()
    {
        open(threeCentres());
        const AppData before = m_data;
        centreMode();
        select("lstCenter", 1);
        field("txtAddName")->setText(QStringLiteral("new"));
        m_fake.boxes.answers = {MessageBoxes::AnswerNo, MessageBoxes::AnswerNo, MessageBoxes::AnswerCancel};
        click("cmdAdd");
        click("cmdOverWrite");
        click("cmdDEL");
        QCOMPARE(m_fake.boxes.texts().last(), QStringLiteral("本当に削除してもよろしいですか？"));
        QCOMPARE(m_data.centers, before.centers);
        QCOMPARE(m_data.recipients, before.recipients);
        QCOMPARE(field("txtAddName")->text(), QStringLiteral("new"));
        QCOMPARE(m_fake.boxes.shown.last().buttons, MessageBoxes::OkCancel);
    }

    void overwriteBothModes()
    {
        open(threeCentres());
        select("lstNumber", 1);
        QCOMPARE(field("txtAddNumber")->text(), QStringLiteral("0901"));
        QCOMPARE(c<QComboBox>("cmbCenetr")->currentIndex(), 1);
        field("txtAddName")->setText(QStringLiteral("rB2"));
        click("cmdOverWrite");
        QCOMPARE(m_data.recipients[1], (Recipient{"rB2", 1, "0901"})); // untouched chooser keeps the link
        centreMode();
        select("lstCenter", 2);
        QCOMPARE(field("txtTIME_2")->text(), QStringLiteral("4"));
        QCOMPARE(c<QComboBox>("cmbCenterKind")->currentIndex(), 2);
        field("txtAddName")->setText(QStringLiteral("C2"));
        field("txtMaxText")->setText(QStringLiteral(" 2.5 ")); // a half goes to the even neighbour
        click("cmdOverWrite");
        QCOMPARE(m_data.centers[2], (MessageCenter{"C2", 2, "02", 2, 2, 3, 4}));
    }

    void refusesWhatTheFileCannotCarry_data()
    {
        const RefusesWhatTheFileCannotCarry row;
        row("comma in name", "txtAddName", "a,b", "「,」");
        row("quote in number", "txtAddNumber", "12\"3", "「\"」");
        row("line break", "txtAddName", "a\nb", "「改行」");
        row("outside CP932", "txtAddName", "雪☃", "「☃」");
        row("limit not a number", "txtMaxText", "12abc", "「最大文字数」");
        row("limit too large", "txtMaxText", "32768", "「最大文字数」");
        row("time too small", "txtTIME_2", "-32769", "「回線切断までの時間」");
    }
    void refusesWhatTheFileCannotCarry()
    {
        const auto [fieldName, text, named] = RefusesWhatTheFileCannotCarry::row();
        for (const char *button : {"cmdAdd", "cmdOverWrite"}) {
            open(threeCentres());
            centreMode();
            select("lstCenter", 0);
            field(fieldName.toLatin1().constData())->setText(text);
            click(button);
            QCOMPARE(m_data.centers, threeCentres().centers);
            QCOMPARE(items("lstCenter"), QStringList({"A", "B", "C"}));
            QCOMPARE(field(fieldName.toLatin1().constData())->text(), text);
            QVERIFY2(m_fake.boxes.texts().last().contains(named), qPrintable(m_fake.boxes.texts().join('|')));
            QVERIFY(!m_fake.boxes.texts().contains(confirmAdd));
        }
    }

    void typedTakenAsStored_data()
    {
        const TypedTakenAsStored row;
        row("name: yen sign and overline", "txtAddName", "a¥b", "‾¥", "a\\b~\\");
        row("name: full-width digits kept", "txtAddName", "Ａ１", "２", "Ａ１２");
        row("number: full-width digits", "txtAddNumber", "０９０－", "１＊＃", "090－1*#");
        row("number: yen sign", "txtAddNumber", "1¥", "2", "1\\2");
    }

    // ¥ and ‾ typed or pasted are stored as the CP932 characters 0x5C and 0x7E (the name and the
    // number field share the conversion); in the number field full-width digits, ＊ and ＃ as
    // the ASCII ones, typed with the input method on or pasted.
    void typedTakenAsStored()
    {
        const auto [fieldName, typed, pasted, stored] = TypedTakenAsStored::row();
        open(threeCentres());
        QLineEdit *edit = field(fieldName.toLatin1().constData());
        QInputMethodEvent composed; // as an input method hands over what was typed
        composed.setCommitString(typed);
        QApplication::sendEvent(edit, &composed);
        QApplication::clipboard()->setText(pasted);
        edit->paste();
        QCOMPARE(edit->text(), stored);
        QCOMPARE(edit->cursorPosition(), stored.size());
    }

    // Random edits through the dialog; after each one every recipient must still name the centre
    // it named before (or none once that centre is gone), and the lists must match the data.
    void randomEditsKeepLinks()
    {
        open(threeCentres());
        for (int i = 0; i < 3; ++i)
            m_data.centers[i].number = QStringLiteral("c%1").arg(i);
        open(m_data);
        QRandomGenerator random(20261206);
        int nextId = 3;
        for (int step = 0; step < 400; ++step) {
            QHash<QString, QString> before; // recipient number -> its centre's number
            for (const Recipient &r : m_data.recipients)
                before[r.number] = r.centerIndex >= 0 ? m_data.centers[r.centerIndex].number : QString();
            const bool centre = random.bounded(2) == 1;
            c<QRadioButton>(centre ? "optCenter" : "optPoint")->click();
            const int count = int(centre ? m_data.centers.size() : m_data.recipients.size());
            const int op = random.bounded(5);
            QString deleted;
            if (op == 0 || count == 0) {
                fillCentre(QStringLiteral("n%1").arg(nextId), QStringLiteral("10"), {"1", "1", "1"});
                field("txtAddNumber")->setText(QStringLiteral("%1%2").arg(centre ? "c" : "r").arg(nextId++));
                if (!centre && !m_data.centers.isEmpty())
                    c<QComboBox>("cmbCenetr")->setCurrentIndex(random.bounded(int(m_data.centers.size())));
                click("cmdAdd");
            } else {
                const int row = random.bounded(count);
                select(centre ? "lstCenter" : "lstNumber", row);
                if (op == 1) {
                    const QStringList names{QStringLiteral("o%1").arg(step), QStringLiteral("名前 %1 ").arg(step), {}};
                    field("txtAddName")->setText(names[random.bounded(3)]);
                    click("cmdOverWrite");
                } else if (op == 2) {
                    if (centre)
                        deleted = m_data.centers[row].number;
                    QTest::keyClick(c<QListWidget>(centre ? "lstCenter" : "lstNumber"), Qt::Key_Delete);
                } else {
                    click(op == 3 ? "cmdUP" : "cmdDOWN");
                }
            }
            for (const Recipient &r : m_data.recipients) {
                QVERIFY(r.centerIndex >= -1 && r.centerIndex < m_data.centers.size());
                const QString now = r.centerIndex >= 0 ? m_data.centers[r.centerIndex].number : QString();
                if (before.contains(r.number))
                    QCOMPARE(now, before[r.number] == deleted ? QString() : before[r.number]);
            }
            QStringList centreNames, recipientNames;
            for (const MessageCenter &mc : m_data.centers)
                centreNames << mc.name;
            for (const Recipient &r : m_data.recipients)
                recipientNames << r.name;
            QCOMPARE(items("lstCenter"), centreNames);
            QCOMPARE(items("cmbCenetr"), centreNames);
            QCOMPARE(items("lstNumber"), recipientNames);
            if (step % 50 == 49)
                checkRoundTrip();
        }
    }
};

QTEST_MAIN(tst_dlgAdd)
#include "tst_dlgadd.moc"
