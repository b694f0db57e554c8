#include "ui/uifonts.h"

#include <QStringList>

namespace uifonts
{

namespace
{
const QString gothicFamily = QStringLiteral("ＭＳ Ｐゴシック");
const QString fixedFamily = QStringLiteral("FixedSys");
} // namespace

void installSubstitutes()
{
    static const bool done = [] {
        // Proportional Japanese gothic for the proportional Windows one.
        QFont::insertSubstitutions(gothicFamily, QStringList()
                                                     << QStringLiteral("IPAPGothic") << QStringLiteral("VL PGothic")
                                                     << QStringLiteral("Noto Sans CJK JP"));
        // A fixed-width font whose kana and kanji are two columns wide, as FixedSys's are.
        QFont::insertSubstitutions(fixedFamily, QStringList()
                                                    << QStringLiteral("IPAGothic") << QStringLiteral("VL Gothic")
                                                    << QStringLiteral("Noto Sans Mono CJK JP"));
        return true;
    }();
    Q_UNUSED(done);
}

QFont gothic(int pointSize)
{
    installSubstitutes();
    QFont font(gothicFamily, pointSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QFont fixedSys()
{
    installSubstitutes();
    // FixedSys draws an 8 x 15 pixel cell; 11 points is the nearest outline size.
    QFont font(fixedFamily, 11);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    return font;
}

} // namespace uifonts
