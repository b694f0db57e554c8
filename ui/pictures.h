#pragma once

#include <QIcon>

// The small pictures of the dialogs, drawn in code so that they look the same on every desktop theme.
namespace pictures
{

QIcon moveUp();
QIcon moveDown();
QIcon remove();

} // namespace pictures
