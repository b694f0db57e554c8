#pragma once

#include <QString>

// Who makes this program and where to reach them: shown in the About box.
namespace builddata
{

inline QString authorName()
{
    return QStringLiteral("Fumidori開発チーム");
}

inline QString homePage()
{
    return QStringLiteral("https://fumidori.example.org/");
}

inline QString mailAddress()
{
    return QStringLiteral("support@fumidori.example.jp");
}

} // namespace builddata
