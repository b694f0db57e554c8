#include "gateway/snppusers.h"

#include "gateway/values.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <crypt.h>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace snppusers
{
namespace
{

// What crypt_r makes of the password with the setting (a stored hash); empty on failure.
QByteArray crypted(const QByteArray &password, const QByteArray &setting)
{
    crypt_data data;
    std::memset(&data, 0, sizeof data);
    const char *out = crypt_r(password.constData(), setting.constData(), &data);
    // A failure gives null or a string starting with '*'.
    return out && out[0] != '*' ? QByteArray(out) : QByteArray();
}

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    unsigned diff = a.size() != b.size() ? 1 : 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= uchar(a[i]) ^ uchar(i < b.size() ? b[i] : 0);
    return diff == 0;
}

} // namespace

QByteArray hash(const QByteArray &password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting))
        return {};
    return crypted(password, setting);
}

bool check(const QByteArray &contents, const QString &user, const QByteArray &password)
{
    // A hash of a password nobody knows, compared when the user is unknown, so that an
    // unknown name costs the time of a known one.
    static const QByteArray stand = hash(QByteArrayLiteral("\x01no user\x01"));
    const QByteArray name = user.toUtf8();
    QByteArray stored;
    for (const QByteArray &line : contents.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon) == name && stored.isEmpty())
            stored = line.mid(colon + 1).trimmed();
    }
    if (stored.isEmpty() || password.contains('\0')) {
        crypted(password, stand);
        return false;
    }
    const QByteArray given = crypted(password, stored);
    return !given.isEmpty() && sameBytes(given, stored);
}

QString nameProblem(const QString &user)
{
    if (user.isEmpty())
        return QStringLiteral("ユーザー名が空です。");
    for (const QChar c : user)
        if (c == u':' || c.isSpace() || c.category() == QChar::Other_Control)
            return QStringLiteral("ユーザー名に「:」、空白や制御文字は使えません。");
    if (user.toUtf8().size() > 64)
        return QStringLiteral("ユーザー名は 64 バイトまでです。");
    return {};
}

QByteArray withUser(const QByteArray &contents, const QString &user, const QByteArray &hash)
{
    const QByteArray name = user.toUtf8();
    const QByteArray entry = name + ':' + hash;
    QByteArray out;
    bool replaced = false;
    for (const QByteArray &line : contents.split('\n')) {
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon) == name) {
            if (!replaced)
                out += entry + '\n';
            replaced = true;
        } else {
            out += line + '\n';
        }
    }
    if (!replaced)
        out += entry + '\n';
    return out;
}

std::optional<QByteArray> read(const QString &path, QString *problem)
{
    QByteArray bytes;
    switch (readOwnerOnly(path, MaxFileBytes, true, &bytes)) {
    case OwnerOnly::Read:
        break;
    case OwnerOnly::Missing:
        return QByteArray();
    case OwnerOnly::Unreadable:
        *problem = QStringLiteral("%1 を読めません（普通のファイルではないか、読む権限がありません）。").arg(path);
        return std::nullopt;
    case OwnerOnly::Shared:
        *problem = QStringLiteral("%1 はほかのユーザーのものか、持ち主のほかにも読み書きできるため使いません"
                                  "（chmod 600 %1）。")
                       .arg(path);
        return std::nullopt;
    }
    if (bytes.size() > MaxFileBytes) {
        *problem = QStringLiteral("%1 が大きすぎます（%2 バイトまで）。").arg(path).arg(MaxFileBytes);
        return std::nullopt;
    }
    return bytes;
}

} // namespace snppusers
