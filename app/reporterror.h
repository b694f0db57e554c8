#pragma once

#include "ui/platform.h"

#include <QString>

// The central error reporter: puts the report on the clipboard, then does what the
// failure's row says: advice in a box and the window ready again, nothing (the line was
// cut), or the report and the end of the program.
void ReportError(const QString &formName, const QString &eventName, const AppError &error, Platform &platform,
                 ReportTarget *target, QWidget *parent);
