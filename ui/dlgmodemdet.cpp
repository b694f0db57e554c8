#include "ui/dlgmodemdet.h"

dlgModemDet::dlgModemDet(AppData &, Platform &, SerialPort &, Waiter &, QWidget *parent) : QDialog(parent) {}

dlgModemDet::~dlgModemDet() = default;
