#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Who may page over SNPP with LOGI: the file snpp-users in the data folder, one line
// "user:hash" each, the hash from crypt(3) (yescrypt). Only its owner may read or write
// it; it is replaced whole (writePrivateFile).
namespace snppusers
{

inline constexpr char FileName[] = "snpp-users";
constexpr qsizetype MaxFileBytes = 256 * 1024;

// A new hash of the password, with a random salt; empty when the system cannot make one.
QByteArray hash(const QByteArray &password);

// The password is user's in the file's contents. A user not in the file takes as long
// to refuse as a wrong password, and the hashes are compared in constant time.
bool check(const QByteArray &contents, const QString &user, const QByteArray &password);

// Why user cannot be a name in the file (empty, a colon, a space or a control
// character); empty when it can.
QString nameProblem(const QString &user);

// The contents with user's line replaced by one with hash, or added at the end.
QByteArray withUser(const QByteArray &contents, const QString &user, const QByteArray &hash);

// The file's contents: empty when there is none; nullopt with *problem when it cannot
// be read, is no regular file of this user's, or others may read or write it.
std::optional<QByteArray> read(const QString &path, QString *problem);

} // namespace snppusers
