#include "ui/dlgabout.h"

dlgAbout::dlgAbout(Platform &, QWidget *parent) : QDialog(parent) {}

dlgAbout::~dlgAbout() = default;
