#include "gateway/textfit.h"

#include "encoding/textcheck.h"
#include "gateway/prepare.h"

// White space runs (line breaks, full-width spaces, tabs) as one space; controls dropped.
QString squeezeSpaces(const QString &text)
{
    QString out;
    out.reserve(text.size());
    bool space = false;
    for (QChar c : text) {
        if (c.isSpace()) {
            space = true;
            continue;
        }
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            continue;
        if (space && !out.isEmpty())
            out += QLatin1Char(' ');
        space = false;
        out += c;
    }
    return out;
}

namespace
{

// The text without the characters no code carries; one that has a compatibility form
// with codes (① 1, ㈱ (株), Ⅲ III) becomes that form.
QString codable(const QString &text)
{
    QString out = text;
    for (const QString &ch : unsendableCharacters(text)) {
        const QString plain = ch.normalized(QString::NormalizationForm_KC);
        out.replace(ch, plain != ch && unsendableCharacters(plain).isEmpty() ? plain : QString());
    }
    return squeezeSpaces(out);
}

// Where a text may be cut: not inside a surrogate pair.
qsizetype cutPoint(const QString &text, qsizetype at)
{
    if (at > 0 && at < text.size() && text[at].isLowSurrogate())
        --at;
    return at;
}

// The longest start of text that fits with prefix and suffix, in characters of text.
qsizetype longestFit(const QString &text, const QString &prefix, const QString &suffix, const MessageCenter &center)
{
    const auto fits = [&](qsizetype n) {
        return textcheck::count(prefix + text.left(n) + suffix, center.kind) <= center.maxChars;
    };
    qsizetype lo = 0, hi = text.size();
    while (lo < hi) { // the count grows with the length: the last length that fits
        const qsizetype mid = (lo + hi + 1) / 2;
        if (fits(mid))
            lo = mid;
        else
            hi = mid - 1;
    }
    return cutPoint(text, lo);
}

QString cutMark()
{
    static const QString mark =
        unsendableCharacters(QStringLiteral("…")).isEmpty() ? QStringLiteral("…") : QStringLiteral("..");
    return mark;
}

// The text in n numbered parts; empty when it does not go into n (unless cutLast).
QStringList numberedParts(const QString &text, int n, const MessageCenter &center, bool cutLast)
{
    QStringList parts;
    QString rest = text;
    for (int i = 1; i <= n; ++i) {
        const QString prefix = QStringLiteral("%1/%2 ").arg(i).arg(n);
        if (textcheck::count(prefix + rest, center.kind) <= center.maxChars) {
            parts << prefix + rest;
            rest.clear();
            break;
        }
        if (i == n) {
            if (!cutLast)
                return {};
            parts << prefix + rest.left(longestFit(rest, prefix, cutMark(), center)) + cutMark();
            rest.clear();
            break;
        }
        const qsizetype take = longestFit(rest, prefix, {}, center);
        if (take == 0)
            return {};
        parts << prefix + rest.left(take);
        rest = rest.mid(take).trimmed();
    }
    if (!rest.isEmpty() || parts.size() != n)
        return {};
    return parts;
}

} // namespace

QStringList fitToCenter(const QString &text, const MessageCenter &center, bool split, int maxParts, const QString &tail)
{
    if (!tail.isEmpty()) {
        QString end = codable(textcheck::optimize(center.kind, tail));
        if (!end.isEmpty() && tail.front().isSpace()) // squeezed away at the start: kept as one space
            end.prepend(u' ');
        const QString t = codable(textcheck::optimize(center.kind, text));
        if (!t.isEmpty() && !end.isEmpty() && textcheck::count(t + end, center.kind) <= center.maxChars)
            return {t + end};
        const qsizetype keep = t.isEmpty() || end.isEmpty() ? 0 : longestFit(t, {}, cutMark() + end, center);
        if (keep > 0)
            return {t.left(keep).trimmed() + cutMark() + end};
        return fitToCenter(text + tail, center, split, maxParts);
    }
    const QString t = codable(textcheck::optimize(center.kind, text));
    if (t.isEmpty() || center.maxChars <= 0)
        return {};
    if (textcheck::count(t, center.kind) <= center.maxChars)
        return {t};
    if (split) {
        for (int n = 2; n <= maxParts; ++n) {
            const QStringList parts = numberedParts(t, n, center, n == maxParts);
            if (!parts.isEmpty())
                return parts;
        }
    }
    const qsizetype keep = longestFit(t, {}, cutMark(), center);
    return keep > 0 ? QStringList{t.left(keep).trimmed() + cutMark()} : QStringList{};
}
