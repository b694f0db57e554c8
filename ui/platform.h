#pragma once

#include <QString>
#include <QUrl>

class QWidget;

// Message boxes and the beep, scriptable in tests.
class MessageBoxes
{
public:
    enum Icon { NoIcon, Information, Warning, Critical, Question };
    enum Buttons { Ok, YesNo, OkCancel };
    enum Answer { AnswerOk, AnswerYes, AnswerNo, AnswerCancel };
    virtual ~MessageBoxes() = default;
    // An empty title gives the application title "Fumidori".
    virtual Answer show(QWidget *parent, const QString &text, Icon icon, Buttons buttons = Ok,
                        const QString &title = QString()) = 0;
    virtual void beep() = 0;
};

// The system clipboard's plain text.
class Clipboard
{
public:
    virtual ~Clipboard() = default;
    virtual void setText(const QString &text) = 0;
    virtual void clear() = 0;
    virtual QString text() const = 0;
};

// The help viewer: contents, or a keyword (empty: the index with an empty search box).
class HelpLauncher
{
public:
    virtual ~HelpLauncher() = default;
    virtual void showContents(QWidget *owner) = 0;
    virtual void showKeyword(QWidget *owner, const QString &keyword) = 0;
};

// Hands a web or mailto: address to the desktop.
class UrlOpener
{
public:
    virtual ~UrlOpener() = default;
    virtual void open(const QUrl &url) = 0;
};

// Ends the process at once, also from inside nested event loops, without unwinding into windows.
class ProcessControl
{
public:
    virtual ~ProcessControl() = default;
    [[noreturn]] virtual void endProcess(int exitCode) = 0;
};

// The platform services one run of the program uses; tests put scripted ones in.
class PasswordStore;

struct Platform {
    MessageBoxes *boxes = nullptr;
    Clipboard *clipboard = nullptr;
    HelpLauncher *help = nullptr;
    UrlOpener *urls = nullptr;
    ProcessControl *process = nullptr;
    PasswordStore *passwords = nullptr; // the SIP password's keyring; none: calls without one
};

// The real services over Qt.
class QtMessageBoxes : public MessageBoxes
{
public:
    Answer show(QWidget *parent, const QString &text, Icon icon, Buttons buttons, const QString &title) override;
    void beep() override;
};

class QtClipboard : public Clipboard
{
public:
    void setText(const QString &text) override;
    void clear() override;
    QString text() const override;
};

class DesktopUrlOpener : public UrlOpener
{
public:
    void open(const QUrl &url) override;
};

class ImmediateExit : public ProcessControl
{
public:
    [[noreturn]] void endProcess(int exitCode) override;
};
