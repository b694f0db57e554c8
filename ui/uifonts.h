#pragma once

#include <QFont>

// The fonts the windows ask for by their Windows names. Neither exists on Linux, and
// fontconfig alone would hand back a Latin sans serif with fixed-width kana, so the
// Japanese fonts the setup installs are registered as their substitutes.
namespace uifonts
{

// Registers the substitutes once; every window calls it before it sets a font.
void installSubstitutes();
// "ＭＳ Ｐゴシック" at the given size: labels, buttons and lists.
QFont gothic(int pointSize = 12);
// "FixedSys": the message box.
QFont fixedSys();

} // namespace uifonts
