#pragma once

#include "app/programrun.h"
#include "ui/platform.h"

#include <QList>
#include <QStringList>
#include <QUrl>
#include <stdexcept>

// Platform services for tests: message boxes answered from a script and recorded,
// a clipboard that keeps every text put on it, a help launcher that shows nothing, a URL
// opener that records its calls, and a process end that throws instead of exiting.
struct ShownBox {
    QString text;
    MessageBoxes::Icon icon;
    MessageBoxes::Buttons buttons;
    QString title;
};

class ScriptedBoxes : public MessageBoxes
{
public:
    QList<ShownBox> shown;
    QList<Answer> answers; // taken from the front; when empty: Yes for YesNo, Ok otherwise
    int beeps = 0;

    Answer show(QWidget *, const QString &text, Icon icon, Buttons buttons, const QString &title) override
    {
        shown.append({text, icon, buttons, title});
        if (!answers.isEmpty())
            return answers.takeFirst();
        return buttons == YesNo ? AnswerYes : AnswerOk;
    }
    void beep() override { ++beeps; }
    QStringList texts() const
    {
        QStringList out;
        for (const ShownBox &b : shown)
            out << b.text;
        return out;
    }
};

class RecordingClipboard : public Clipboard
{
public:
    QStringList history; // every text set; an empty entry for each clear
    QString current;
    void setText(const QString &text) override
    {
        current = text;
        history << text;
    }
    void clear() override
    {
        current.clear();
        history << QString();
    }
    QString text() const override { return current; }
};

class NoHelp : public HelpLauncher
{
public:
    void showContents(QWidget *) override {}
    void showKeyword(QWidget *, const QString &) override {}
};

class RecordingUrls : public UrlOpener
{
public:
    QList<QUrl> opened;
    void open(const QUrl &url) override { opened << url; }
};

struct ProcessEnded : std::runtime_error {
    int code;
    explicit ProcessEnded(int c) : std::runtime_error("process ended"), code(c) {}
};

class ThrowingProcess : public ProcessControl
{
public:
    [[noreturn]] void endProcess(int exitCode) override { throw ProcessEnded(exitCode); }
};

// All of the above, wired into one Platform.
struct FakePlatform {
    ScriptedBoxes boxes;
    RecordingClipboard clipboard;
    NoHelp help;
    RecordingUrls urls;
    ThrowingProcess process;
    Platform platform{&boxes, &clipboard, &help, &urls, &process};
    AppRun run{platform}; // the program's own start-up, shut-down and error reporter
    FakePlatform() { platform.run = &run; }
    FakePlatform(const FakePlatform &) = delete;
};
