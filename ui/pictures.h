#pragma once

#include <QIcon>

// The small pictures of the dialogs, drawn in code so that they look the same on every desktop theme.
namespace pictures
{

QIcon moveUp();
QIcon moveDown();
QIcon remove();
// The program's icon: a pager with a message on its screen.
QIcon program();

} // namespace pictures
