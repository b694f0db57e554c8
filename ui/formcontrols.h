#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

// Helpers for building the forms in code: every control carries its form name as its object
// name (so tests and the error reporter can name it) and its tooltip.
namespace formcontrols
{

// The forms were laid out in twips; 15 twips make one pixel.
inline int px(int twips)
{
    return qRound(twips / 15.0);
}

inline QRect twips(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

template <class W, class... Args> W *make(QWidget *parent, const char *name, const QString &toolTip, Args &&...args)
{
    W *w = new W(std::forward<Args>(args)..., parent);
    w->setObjectName(QString::fromLatin1(name));
    if (!toolTip.isEmpty())
        w->setToolTip(toolTip);
    return w;
}

} // namespace formcontrols
