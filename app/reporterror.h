#pragma once

#include <QString>

class AppError;
class QWidget;
struct Platform;

// What the error reporter restores after a port failed to open: panel 1's text,
// the send button and the menu entries "設定(&S)..." and "追加／編集(&A)...".
class ReportTarget
{
public:
    virtual ~ReportTarget() = default;
    virtual void restoreAfterPortFailure(const QString &panel1Text) = 0;
};

// The central error reporter: puts the report on the clipboard and, by code, shows
// advice and goes on (port failures), stays silent (8018) or ends the process.
void ReportError(const QString &formName, const QString &eventName, const AppError &error, Platform &platform,
                 ReportTarget *target, QWidget *parent);
