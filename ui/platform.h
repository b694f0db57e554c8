#pragma once

#include <QString>
#include <QUrl>

class AppError;
class QWidget;
struct AppData;

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

// What the error reporter restores after a port failed to open: panel 1's text,
// the send button and the menu entries "設定(&S)..." and "追加／編集(&A)...".
class ReportTarget
{
public:
    virtual ~ReportTarget() = default;
    virtual void restoreAfterPortFailure(const QString &panel1Text) = 0;
};

// What the windows ask of the program around them: start-up, shut-down and the error
// reporter (app/ provides them; the windows never include app/).
class ProgramRun
{
public:
    virtual ~ProgramRun() = default;
    virtual void loadAtStartUp(AppData &data, QWidget *messageParent) = 0;
    [[noreturn]] virtual void saveAndExit(const AppData &data, QWidget *messageParent) = 0;
    virtual void reportError(const QString &formName, const QString &eventName, const AppError &error,
                             ReportTarget *target, QWidget *parent) = 0;
};

class PasswordStore;

// The platform services one run of the program uses; tests put scripted ones in.
struct Platform {
    MessageBoxes *boxes = nullptr;
    Clipboard *clipboard = nullptr;
    HelpLauncher *help = nullptr;
    UrlOpener *urls = nullptr;
    ProcessControl *process = nullptr;
    ProgramRun *run = nullptr;
    PasswordStore *passwords = nullptr; // the SIP password's keyring; none: calls without one
};
