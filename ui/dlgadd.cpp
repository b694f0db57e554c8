#include "ui/dlgadd.h"

#include "encoding/textcheck.h"
#include "store/appdata.h"
#include "store/dialnumber.h"
#include "ui/addressbook.h"
#include "ui/fieldtext.h"
#include "ui/imeswitch.h"
#include "ui/platform.h"
#include "ui/uifonts.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

dlgAdd::dlgAdd(AppData &data, Platform &platform, QWidget *parent) : QDialog(parent), m_data(data), m_platform(platform)
{
    setObjectName(QStringLiteral("dlgAdd"));
    setWindowTitle(QStringLiteral("追加／編集"));
    setFont(uifonts::gothic(9));
    createControls();
    layOut();
    connectControls();
    Form_Load();
}

dlgAdd::~dlgAdd() = default;

void dlgAdd::connectControls()
{
    connect(optPoint, &QRadioButton::clicked, this, &dlgAdd::optPoint_Click);
    connect(optCenter, &QRadioButton::clicked, this, &dlgAdd::optCenter_Click);
    // A click on the entry already selected shows it again, over whatever was typed.
    connect(lstNumber, &QListWidget::itemSelectionChanged, this, &dlgAdd::lstNumber_Click);
    connect(lstNumber, &QListWidget::itemClicked, this, &dlgAdd::lstNumber_Click);
    connect(lstCenter, &QListWidget::itemSelectionChanged, this, &dlgAdd::lstCenter_Click);
    connect(lstCenter, &QListWidget::itemClicked, this, &dlgAdd::lstCenter_Click);
    connect(cmbCenterKind, &QComboBox::currentIndexChanged, this, &dlgAdd::cmbCenterKind_Click);
    connect(cmbCenterKind, &QComboBox::activated, this, &dlgAdd::cmbCenterKind_Click);
    connect(cmdAdd, &QPushButton::clicked, this, &dlgAdd::cmdAdd_Click);
    connect(cmdOverWrite, &QPushButton::clicked, this, &dlgAdd::cmdOverWrite_Click);
    connect(cmdDEL, &QPushButton::clicked, this, &dlgAdd::cmdDEL_Click);
    connect(cmdUP, &QPushButton::clicked, this, &dlgAdd::cmdUP_Click);
    connect(cmdDOWN, &QPushButton::clicked, this, &dlgAdd::cmdDOWN_Click);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdHELP, &QPushButton::clicked, this, &dlgAdd::cmdHELP_Click);
    lstNumber->installEventFilter(this);
    lstCenter->installEventFilter(this);
    // ¥ and ‾ typed or pasted become the characters stored for them (0x5C and 0x7E), and
    // in the number field full-width digits, ＊ and ＃ the ASCII ones.
    for (QLineEdit *field : {txtAddName, txtAddNumber}) {
        connect(field, &QLineEdit::textEdited, this, [this, field](const QString &text) {
            QString stored = textcheck::yenAndOverlineAsAscii(text);
            if (field == txtAddNumber)
                stored = dialnumber::asciiDigits(stored);
            if (stored == text)
                return;
            const int cursor = field->cursorPosition();
            field->setText(stored);
            field->setCursorPosition(cursor);
        });
    }
}

void dlgAdd::Form_Load()
{
    // As in the message box, both modes leave the name field open to composed input with no
    // hints, and IME 1 switches Japanese input on whenever the field gains the focus.
    txtAddName->setInputMethodHints(Qt::ImhNone);
    (new ImeSwitch(txtAddName))->setEnabled(m_data.settings.IME == 1);
    for (const Recipient &r : m_data.recipients)
        lstNumber->addItem(r.name);
    for (const MessageCenter &c : m_data.centers) {
        lstCenter->addItem(c.name);
        cmbCenetr->addItem(c.name);
    }
    optPoint->setChecked(true);
    showMode(false);
    cmbCenetr->setCurrentIndex(-1);
    cmbCenterKind->setCurrentIndex(-1);
    txtMaxText->setText(QStringLiteral("0"));
}

bool dlgAdd::centerMode() const
{
    return optCenter->isChecked();
}

void dlgAdd::optPoint_Click()
{
    showMode(false);
    ClearEntryFields();
}

void dlgAdd::optCenter_Click()
{
    showMode(true);
    ClearEntryFields();
}

int dlgAdd::selectedRow(const QListWidget *list)
{
    const QList<QListWidgetItem *> items = list->selectedItems();
    return items.isEmpty() ? -1 : list->row(items.first());
}

QListWidget *dlgAdd::currentList() const
{
    return centerMode() ? lstCenter : lstNumber;
}

void dlgAdd::lstNumber_Click()
{
    const int p = selectedRow(lstNumber);
    if (p < 0)
        return;
    const Recipient &r = m_data.recipients.at(p);
    txtAddName->setText(r.name);
    txtAddNumber->setText(r.number);
    // A link that names no centre (a damaged file) shows as none.
    const bool linked = r.centerIndex >= 0 && r.centerIndex < cmbCenetr->count();
    cmbCenetr->setCurrentIndex(linked ? r.centerIndex : -1);
}

void dlgAdd::lstCenter_Click()
{
    const int p = selectedRow(lstCenter);
    if (p < 0)
        return;
    const MessageCenter &c = m_data.centers.at(p);
    txtAddName->setText(c.name);
    txtAddNumber->setText(c.number);
    txtMaxText->setText(QString::number(c.maxChars));
    cmbCenterKind->setCurrentIndex(c.kind >= 0 && c.kind < cmbCenterKind->count() ? c.kind : -1);
    txtTIME[0]->setText(QString::number(c.waitBeforeNumber));
    txtTIME[1]->setText(QString::number(c.waitBeforeMail));
    txtTIME[2]->setText(QString::number(c.waitBeforeHangUp));
}

void dlgAdd::cmbCenterKind_Click()
{
    if (txtAddName->text().isEmpty() && cmbCenterKind->currentIndex() >= 0)
        txtAddName->setText(cmbCenterKind->currentText());
}

void dlgAdd::warn(const QString &text)
{
    m_platform.boxes->show(this, text, MessageBoxes::Warning, MessageBoxes::Ok);
}

bool dlgAdd::confirm(const QString &question)
{
    return m_platform.boxes->show(this, question, MessageBoxes::NoIcon, MessageBoxes::YesNo) == MessageBoxes::AnswerYes;
}

// Advice only: whatever it reports, the caller goes on to its question.
void dlgAdd::CheckEntryFields()
{
    if (txtAddName->text().isEmpty() || txtAddNumber->text().isEmpty()) {
        warn(QStringLiteral("相手の名前、または番号を入力してください。"));
        return;
    }
    if (!centerMode() && cmbCenetr->currentIndex() < 0)
        warn(QStringLiteral("後でセンターを選択してくださいね。"));
    if (centerMode() && fieldtext::leadingBelow(txtMaxText->text(), 1)) {
        warn(QStringLiteral("最大文字数が適切ではありません。"));
        return;
    }
    using fieldtext::leadingBelow;
    if (leadingBelow(txtTIME[1]->text(), 0) || leadingBelow(txtTIME[2]->text(), 0) ||
        (centerMode() && leadingBelow(txtTIME[0]->text(), 0)))
        warn(QStringLiteral("時間の間隔が適切ではありません。"));
}

void dlgAdd::ClearEntryFields()
{
    txtAddName->clear();
    txtAddNumber->clear();
    txtMaxText->setText(QStringLiteral("0"));
    for (QLineEdit *t : txtTIME)
        t->setText(QStringLiteral("0"));
    for (QListWidget *list : {lstCenter, lstNumber}) {
        list->clearSelection();
        list->setCurrentRow(-1);
    }
    cmbCenetr->setCurrentIndex(-1);
    cmbCenterKind->setCurrentIndex(-1);
}

// The settings file has no room for some characters; refusing them here keeps what is shown
// equal to what is stored and read back.
bool dlgAdd::fieldsStorable()
{
    for (const auto &[label, field] : {std::pair{lblAddName, txtAddName}, std::pair{lblAddNumber, txtAddNumber}}) {
        const QString bad = fieldtext::unstorableCharacter(field->text());
        if (!bad.isEmpty()) {
            warn(QStringLiteral("「%1」には「%2」を使えません。").arg(label->text(), bad));
            field->setFocus();
            return false;
        }
    }
    return true;
}

bool dlgAdd::readCenterFields(MessageCenter &center)
{
    QLineEdit *fields[4] = {txtMaxText, txtTIME[0], txtTIME[1], txtTIME[2]};
    QLabel *labels[4] = {lblMaxText, lblTIME[0], lblTIME[1], lblTIME[2]};
    qint16 values[4];
    for (int i = 0; i < 4; ++i) {
        const std::optional<qint16> value = fieldtext::parseInt16(fields[i]->text(), -32768, 32767);
        if (!value) {
            warn(QStringLiteral("「%1」には-32768～32767の範囲の数を入力してください。").arg(labels[i]->text()));
            fields[i]->setFocus();
            return false;
        }
        values[i] = *value;
    }
    center.name = txtAddName->text();
    center.number = txtAddNumber->text();
    center.kind = qint16(cmbCenterKind->currentIndex());
    center.maxChars = values[0];
    center.waitBeforeNumber = values[1];
    center.waitBeforeMail = values[2];
    center.waitBeforeHangUp = values[3];
    return true;
}

void dlgAdd::storeRecipient(int position)
{
    const Recipient r{txtAddName->text(), qint16(cmbCenetr->currentIndex()), txtAddNumber->text()};
    if (position == m_data.recipients.size()) {
        m_data.recipients.append(r);
        lstNumber->addItem(r.name);
    } else {
        m_data.recipients[position] = r;
        lstNumber->item(position)->setText(r.name);
    }
}

void dlgAdd::storeCenter(int position, const MessageCenter &c)
{
    if (position == m_data.centers.size()) {
        m_data.centers.append(c);
        lstCenter->addItem(c.name);
        cmbCenetr->addItem(c.name); // offered to recipients at once
    } else {
        m_data.centers[position] = c;
        lstCenter->item(position)->setText(c.name);
        cmbCenetr->setItemText(position, c.name);
    }
}

void dlgAdd::cmdAdd_Click()
{
    CheckEntryFields();
    MessageCenter center;
    if (!fieldsStorable() || (centerMode() && !readCenterFields(center)))
        return;
    if (!confirm(QStringLiteral("追加してもよろしいですか？")))
        return;
    if (centerMode())
        storeCenter(int(m_data.centers.size()), center);
    else
        storeRecipient(int(m_data.recipients.size()));
    ClearEntryFields();
}

void dlgAdd::cmdOverWrite_Click()
{
    CheckEntryFields();
    // A change of mode clears both lists' selections, so only the list on show can have one.
    const int p = selectedRow(currentList());
    MessageCenter center;
    if (p < 0 || !fieldsStorable() || (centerMode() && !readCenterFields(center)))
        return;
    if (!confirm(QStringLiteral("上書きしてもよろしいですか？")))
        return;
    if (centerMode())
        storeCenter(p, center);
    else
        storeRecipient(p);
    ClearEntryFields();
}

void dlgAdd::cmdDEL_Click()
{
    QListWidget *list = currentList();
    const int k = selectedRow(list);
    if (k < 0)
        return;
    if (m_platform.boxes->show(this, QStringLiteral("本当に削除してもよろしいですか？"), MessageBoxes::Critical,
                               MessageBoxes::OkCancel, QStringLiteral("選択項目の削除")) != MessageBoxes::AnswerOk)
        return;
    {
        // The list must not show an entry while it and the data disagree.
        const QSignalBlocker quiet(list);
        delete list->takeItem(k);
    }
    if (centerMode()) {
        addressbook::removeCenter(m_data, k);
        cmbCenetr->removeItem(k);
    } else {
        addressbook::removeRecipient(m_data, k);
    }
    ClearEntryFields();
}

void dlgAdd::moveSelected(int step)
{
    QListWidget *list = currentList();
    const int k = selectedRow(list);
    const int j = k + step;
    if (k < 0 || j < 0 || j >= list->count())
        return;
    if (centerMode()) {
        addressbook::swapCenters(m_data, k, j);
        for (int i : {k, j}) {
            cmbCenetr->setItemText(i, m_data.centers.at(i).name);
            list->item(i)->setText(m_data.centers.at(i).name);
        }
    } else {
        addressbook::swapRecipients(m_data, k, j);
        for (int i : {k, j})
            list->item(i)->setText(m_data.recipients.at(i).name);
    }
    list->setCurrentRow(j); // the selection follows the entry and shows it
}

void dlgAdd::cmdUP_Click()
{
    moveSelected(-1);
}

void dlgAdd::cmdDOWN_Click()
{
    moveSelected(1);
}

void dlgAdd::cmdHELP_Click()
{
    if (m_platform.help)
        m_platform.help->showKeyword(this, QStringLiteral("追加／編集について"));
}

bool dlgAdd::eventFilter(QObject *watched, QEvent *event)
{
    if ((watched == lstNumber || watched == lstCenter) && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->key() == Qt::Key_Delete) {
        cmdDEL_Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
