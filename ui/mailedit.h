#pragma once

#include <QPlainTextEdit>

class ImeSwitch;

// The message box. It takes no line break from the keyboard (Return goes on to the
// window, which may press the send button), Tab moves the focus on, and it lets in only
// text that CP932 can carry, so that the count and what is sent always agree with what is shown.
class MailEdit : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit MailEdit(QWidget *parent = nullptr);

    // 1: switch the input method's Japanese input on whenever the box has the focus; 0: leave it alone.
    void setImeMode(int mode);
    int imeMode() const { return m_imeMode; }

signals:
    // Typed, pasted or composed characters that CP932 cannot carry were kept out.
    void refused();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    QString admitted(const QString &text);

    int m_imeMode = 0;
    ImeSwitch *m_ime;
};
