#include "ui/mailedit.h"

#include "encoding/textcheck.h"
#include "ui/imeswitch.h"

#include <QKeyEvent>
#include <QMimeData>

MailEdit::MailEdit(QWidget *parent) : QPlainTextEdit(parent), m_ime(new ImeSwitch(this))
{
    setAttribute(Qt::WA_InputMethodEnabled, true);
    setInputMethodHints(Qt::ImhNone);
    setTabChangesFocus(true);
}

void MailEdit::setImeMode(int mode)
{
    // Both modes leave the box open to composed input with no hints; mode 1 also switches
    // the input method's Japanese input on whenever the box gains the focus.
    m_imeMode = mode == 1 ? 1 : 0;
    setInputMethodHints(Qt::ImhNone);
    m_ime->setEnabled(m_imeMode == 1);
}

QString MailEdit::admitted(const QString &text)
{
    bool removed = false;
    const QString kept = textcheck::keepEncodable(textcheck::yenAndOverlineAsAscii(text), &removed);
    if (removed)
        emit refused();
    return kept;
}

void MailEdit::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->ignore(); // never a line break; the window decides what Return does
        return;
    }
    const QString text = event->text();
    if (!text.isEmpty()) {
        const QString kept = admitted(text);
        if (kept != text) {
            // Refused, or typed in the form the box holds (¥ as \): insert what is kept.
            if (!kept.isEmpty())
                textCursor().insertText(kept);
            return;
        }
    }
    QPlainTextEdit::keyPressEvent(event);
}

void MailEdit::inputMethodEvent(QInputMethodEvent *event)
{
    const QString commit = event->commitString();
    if (commit.isEmpty()) {
        QPlainTextEdit::inputMethodEvent(event);
        return;
    }
    const QString kept = admitted(commit);
    if (kept == commit) {
        QPlainTextEdit::inputMethodEvent(event);
        return;
    }
    QInputMethodEvent filtered(event->preeditString(), event->attributes());
    filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
    QPlainTextEdit::inputMethodEvent(&filtered);
}

void MailEdit::insertFromMimeData(const QMimeData *source)
{
    if (!source->hasText())
        return;
    QString text = source->text();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QString kept = admitted(text);
    if (!kept.isEmpty())
        textCursor().insertText(kept);
}
