#pragma once

#include "store/storeerror.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <sys/stat.h>

// Whole-file reads and atomic whole-file writes in the program folder. A write goes
// to a temporary file beside the target and is renamed over it only when every byte
// is on disk, so a crash or a full disk leaves the old file whole.
namespace filestore
{

std::optional<StoreError> readAll(const QString &folder, const QString &name, QByteArray *bytes);
// The file replaced whole (written under another name, on disk, renamed), mode 0600.
std::optional<StoreError> writeAtomically(const QString &folder, const QString &name, const QByteArray &bytes);

// The name under which a file exists in folder, matched without regard to letter case
// (the exact name first); the given name when there is none.
QString existingName(const QString &folder, const QString &name);
bool exists(const QString &folder, const QString &name);

// What a path of this mode (from lstat) is when it is not a regular file, as the end of a
// sentence ("シンボリックリンクです"); empty for a regular file.
QString notRegularText(unsigned mode);

// Whether two stat results are of one file, unchanged: the same inode, size and times. A
// file this process holds open keeps its inode, so a file found at its name with the same
// inode, size and times is that file as it was read.
bool sameFile(const struct stat &a, const struct stat &b);
// The file at path opened to be held while what was read of it is kept: -1 when the file
// there now is not the one `before` was taken of (replaced or gone meanwhile).
int holdIfSame(const QByteArray &path, const struct stat &before);

} // namespace filestore
