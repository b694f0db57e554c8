#pragma once

#include <QApplication>
#include <QDialog>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>

// Answers the next modal dialog that a window opens: notes its class, runs the given
// action on it (accept(), or edits of the data it works on) and rejects it if it is
// still open. Lives for one scope; a dialog that never opens leaves nothing behind.
class ModalCloser : public QObject
{
public:
    explicit ModalCloser(std::function<void(QDialog *)> action = {}) : m_action(std::move(action))
    {
        QTimer::singleShot(0, this, [this] { answer(); });
    }
    QStringList opened;

private:
    void answer()
    {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        opened << QString::fromLatin1(dialog->metaObject()->className());
        if (m_action)
            m_action(dialog);
        if (dialog->isVisible())
            dialog->reject();
    }
    std::function<void(QDialog *)> m_action;
};
