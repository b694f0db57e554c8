#include "encoding/textcheck.h"

namespace textcheck {
bool countsCharacters(int centerKind)
{
    return centerKind == 0 || centerKind == 1;
}
int count(const QString &text, int)
{
    return int(text.size());
}
QString convert(int, const QString &text)
{
    return text;
}
QString OptimizeForKanji(const QString &text)
{
    return text;
}
QString OptimizeForKana(const QString &text)
{
    return text;
}
QString optimize(int, const QString &text)
{
    return text;
}
QString keepEncodable(const QString &text, bool *removed)
{
    if (removed)
        *removed = false;
    return text;
}
} // namespace textcheck
