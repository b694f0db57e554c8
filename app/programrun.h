#pragma once

#include "ui/platform.h"

// The program's start-up, shut-down and error reporter, as the windows ask for them.
class AppRun : public ProgramRun
{
public:
    explicit AppRun(Platform &platform) : m_platform(platform) {}
    void loadAtStartUp(AppData &data, QWidget *messageParent) override;
    [[noreturn]] void saveAndExit(const AppData &data, QWidget *messageParent) override;
    void reportError(const QString &formName, const QString &eventName, const AppError &error, ReportTarget *target,
                     QWidget *parent) override;

private:
    Platform &m_platform;
};
