#pragma once

#include <QIcon>
#include <QImage>

// The program's icon, painted here so that the window needs no image plug-in. The
// installed icons are made from it at build time (PNG sizes) or drawn the same way
// (data/org.example.fumidori.Fumidori.svg).
QIcon fumidoriIcon();

// One size of it, square.
QImage fumidoriIconImage(int size);
