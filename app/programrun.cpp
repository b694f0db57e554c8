#include "app/programrun.h"

#include "app/lifecycle.h"
#include "app/reporterror.h"

void AppRun::loadAtStartUp(AppData &data, QWidget *messageParent)
{
    lifecycle::loadAtStartUp(data, m_platform, messageParent);
}

void AppRun::saveAndExit(const AppData &data, QWidget *messageParent)
{
    lifecycle::saveAndExit(data, m_platform, messageParent);
}

void AppRun::reportError(const QString &formName, const QString &eventName, const AppError &error, ReportTarget *target,
                         QWidget *parent)
{
    ReportError(formName, eventName, error, m_platform, target, parent);
}
