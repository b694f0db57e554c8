#pragma once

#include "ui/platform.h"

// The platform services over Qt and the process.
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
