#pragma once

#include <QString>

// Who makes this program, where to reach them, and its version text.
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

// "Ver 2.32": the program's version as the About box and the error messages show it.
inline QString versionText()
{
    return QStringLiteral("Ver %1.%2").arg(FUMIDORI_VERSION_MAJOR).arg(FUMIDORI_VERSION_MINOR);
}

} // namespace builddata
