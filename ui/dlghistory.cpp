#include "ui/dlghistory.h"

#include "store/appdata.h"
#include "ui/formcontrols.h"
#include "ui/uifonts.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>

using formcontrols::make;

dlgHistory::dlgHistory(const AppData &data, std::function<QString()> mailText,
                       std::function<void(const QString &)> setMailText, QWidget *parent)
    : QDialog(parent), m_data(data), m_mailText(std::move(mailText)), m_setMailText(std::move(setMailText))
{
    setObjectName(QStringLiteral("dlgHistory"));
    setWindowTitle(QStringLiteral("送信履歴"));
    setFont(uifonts::gothic(9));

    cmbHistory = make<QComboBox>(this, "cmbHistory", QStringLiteral("誰に送信したのかを選んでください"));
    cmbHistory->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cmbHistory->setMinimumContentsLength(30);
    lblDateTime = make<QLabel>(this, "lblDateTime", QString(), QStringLiteral("----/--/-- (---) --:--"));
    lblNumberCenter = make<QLabel>(this, "lblNumberCenter", QString(), QStringLiteral("(送信相手) / (センター名)"));
    txtPREVIEW = make<QPlainTextEdit>(this, "txtPREVIEW", QStringLiteral("送信したメッセージが表示されます"));
    txtPREVIEW->setFont(uifonts::fixedSys());
    cmdPaste =
        make<QPushButton>(this, "cmdPaste", QStringLiteral("一度送信したメッセージの全体、または一部を貼り付けます"),
                          QStringLiteral("貼り付け！"));
    cmdClose = make<QPushButton>(this, "cmdClose", QStringLiteral("閉じます"), QStringLiteral("閉じる"));
    cmdPaste->setAutoDefault(false);
    cmdClose->setAutoDefault(false);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdPaste);
    buttons->addWidget(cmdClose);
    auto *grid = new QGridLayout(this);
    grid->addWidget(cmbHistory, 0, 0);
    grid->addWidget(lblDateTime, 1, 0);
    grid->addWidget(lblNumberCenter, 2, 0);
    grid->addWidget(txtPREVIEW, 3, 0);
    grid->addLayout(buttons, 4, 0);
    resize(420, 300);

    connect(cmbHistory, &QComboBox::currentIndexChanged, this, &dlgHistory::cmbHistory_Click);
    connect(cmdPaste, &QPushButton::clicked, this, &dlgHistory::cmdPaste_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    Form_Load();
}

dlgHistory::~dlgHistory() = default;

void dlgHistory::Form_Load()
{
    const QSignalBlocker quiet(cmbHistory); // the newest entry is shown once, below
    for (const HistoryEntry &e : m_data.history.used())
        cmbHistory->addItem(e.message);
    cmbHistory->setCurrentIndex(cmbHistory->count() > 0 ? 0 : -1);
    if (cmbHistory->count() > 0)
        cmbHistory_Click();
}

void dlgHistory::cmbHistory_Click()
{
    const int p = cmbHistory->currentIndex();
    if (p < 0)
        return;
    const HistoryEntry &e = m_data.history.row(p);
    lblDateTime->setText(e.sentAt);
    lblNumberCenter->setText(e.recipientName + QStringLiteral(" / ") + e.centerName);
    txtPREVIEW->setPlainText(cmbHistory->itemText(p));
}

void dlgHistory::cmdPaste_Click()
{
    const int p = cmbHistory->currentIndex();
    if (p < 0)
        return;
    QTextCursor cursor = txtPREVIEW->textCursor();
    // A selection across lines comes back with U+2029 between them.
    const QString part = cursor.selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    m_setMailText(m_mailText() + (part.isEmpty() ? m_data.history.row(p).message : part));
    cursor.clearSelection();
    txtPREVIEW->setTextCursor(cursor);
}
