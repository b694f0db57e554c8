#include "ui/dlghistory.h"

#include <QString>

dlgHistory::dlgHistory(const AppData &, std::function<QString()>, std::function<void(const QString &)>, QWidget *parent) : QDialog(parent) {}

dlgHistory::~dlgHistory() = default;
