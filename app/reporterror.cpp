#include "app/reporterror.h"

#include "store/apperror.h"
#include "ui/platform.h"

void ReportError(const QString &, const QString &, const AppError &, Platform &, ReportTarget *, QWidget *) {}
