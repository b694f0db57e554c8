#include "ui/dlgadd.h"

dlgAdd::dlgAdd(AppData &, Platform &, QWidget *parent) : QDialog(parent) {}

dlgAdd::~dlgAdd() = default;
