#pragma once

#include <QFont>
#include <QString>
#include <QWidget>

// Helpers for building the forms in code: every control carries its form name as its object
// name (so tests and the error reporter can name it) and its tooltip.
namespace formcontrols
{

template <class W, class... Args> W *make(QWidget *parent, const char *name, const QString &toolTip, Args &&...args)
{
    W *w = new W(std::forward<Args>(args)..., parent);
    w->setObjectName(QString::fromLatin1(name));
    if (!toolTip.isEmpty())
        w->setToolTip(toolTip);
    return w;
}

// The forms' font. Asked for by name; fontconfig puts a Japanese P Gothic in its place.
inline QFont formFont(qreal pointSize = 9)
{
    QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
    font.setPointSizeF(pointSize);
    return font;
}

// The fixed-pitch font of message previews.
inline QFont previewFont()
{
    QFont font(QStringLiteral("FixedSys"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSize(10);
    return font;
}

} // namespace formcontrols
