#pragma once

#include <QIcon>

// The program's icon, painted here so that the window needs no image plug-in; the
// desktop file's icon (data/fumidori.svg) shows the same handset with a letter.
QIcon fumidoriIcon();
