// frmMain's message box: the count against the selected centre's limit, and the
// conversions and the optimiser on the selection or the whole text.
#include "ui/frmmain.h"

#include "encoding/textcheck.h"
#include "store/appdata.h"
#include "ui/clicklabel.h"
#include "ui/mailedit.h"
#include "ui/platform.h"

#include <QComboBox>
#include <QPushButton>
#include <QTextCursor>

void frmMain::txtMail_Change()
{
    const QString text = txtMail->toPlainText();
    const int center = cmbCenter->currentIndex();
    if (center < 0 || center >= m_data.centers.size()) {
        // No centre: no kind and no limit, so nothing can be sent.
        stbSTATUS[4]->setText(QString::number(textcheck::count(text, -1)) + QStringLiteral("/-"));
        showLengthState(false);
        m_lengthAllowsSend = false;
    } else {
        const int count = textcheck::count(text, m_data.centers[center].kind);
        const int limit = cmbCenter->itemData(center).toInt();
        stbSTATUS[4]->setText(QString::number(count) + QLatin1Char('/') + QString::number(limit));
        const bool tooLong = count > limit;
        if (tooLong)
            m_platform.boxes->beep();
        showLengthState(tooLong);
        m_lengthAllowsSend = !tooLong;
    }
    updateSendEnabled();
}

void frmMain::showLengthState(bool tooLong)
{
    if (!tooLong) {
        txtMail->setPalette(QPalette());
        return;
    }
    QPalette red = txtMail->palette();
    red.setColor(QPalette::Text, QColor(255, 0, 0));
    txtMail->setPalette(red);
}

void frmMain::updateSendEnabled()
{
    // A stage that is running keeps the button disabled even when the text changes.
    cmdButton->setEnabled(m_sequenceAllowsSend && m_lengthAllowsSend);
}

void frmMain::mnuSTRING_Click(StringItem item)
{
    QTextCursor cursor = txtMail->textCursor();
    if (!cursor.hasSelection())
        cursor.select(QTextCursor::Document);
    QString work = cursor.selectedText();
    work.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    QString result = work;
    if (item != StringItem::Optimize) {
        result = textcheck::convert(int(item), work); // takes the menu's places
    } else {
        const int center = cmbCenter->currentIndex();
        if (center >= 0 && center < m_data.centers.size())
            result = textcheck::optimize(m_data.centers[center].kind, work);
    }
    if (result == work)
        return;
    cursor.insertText(result); // replaces just the selection, or the whole text
    txtMail->setTextCursor(cursor);
}

void frmMain::cmdOptimize_Click()
{
    mnuSTRING_Click(StringItem::Optimize);
}
