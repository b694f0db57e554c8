#pragma once

#include "ui/platform.h"

#include <QString>

// The central error reporter: puts the report on the clipboard and, by code, shows
// advice and goes on (port failures), stays silent (8018) or ends the process.
void ReportError(const QString &formName, const QString &eventName, const AppError &error, Platform &platform,
                 ReportTarget *target, QWidget *parent);
