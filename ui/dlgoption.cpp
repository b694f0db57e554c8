#include "ui/dlgoption.h"

dlgOption::dlgOption(AppData &, Platform &, SerialPort &, Waiter &, QWidget *parent) : QDialog(parent) {}

dlgOption::~dlgOption() = default;
