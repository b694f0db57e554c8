#include "store/historyfile.h"

#include "encoding/cp932.h"
#include "store/appdata.h"
#include "store/fieldreader.h"
#include "store/filestore.h"
#include "store/locks.h"

#include <QDateTime>

namespace historyfile
{
namespace
{

struct Problem {
    int line;
    QString what;
};

// One entry: the first line must hold exactly three fields, and the message line must follow.
std::optional<Problem> readEntry(FieldReader &in, HistoryEntry &entry)
{
    const int line = in.line();
    QByteArray fields[3];
    FieldReader::End ends[3] = {};
    for (int f = 0; f < 3; ++f) {
        if (!in.readField(&fields[f], &ends[f]) || (f < 2 && ends[f] != FieldReader::End::Comma))
            return Problem{line, QStringLiteral("相手先、センター、日時の 3 つの項目が 1 行にそろっていません。")};
    }
    if (ends[2] == FieldReader::End::Comma)
        return Problem{line, QStringLiteral("項目が 3 つより多くあります。")};
    QByteArray message;
    if (ends[2] == FieldReader::End::FileEnd || !in.readLine(&message))
        return Problem{line + 1, QStringLiteral("メッセージの行がありません。")};
    entry = {cp932::decode(fields[0]), cp932::decode(fields[1]), cp932::decode(fields[2]), cp932::decode(message)};
    return std::nullopt;
}

} // namespace

std::optional<StoreError> read(const QByteArray &bytes, HistoryTable &table, const QString &fileName)
{
    HistoryTable loaded = table;
    FieldReader in(bytes);
    for (int i = 0; i < loaded.rowCount() && !in.atEnd(); ++i) {
        if (const std::optional<Problem> problem = readEntry(in, loaded.row(i)))
            return StoreError{
                StoreError::Reading, fileName,
                QStringLiteral("%1 件目の記録（%2 行目）: %3").arg(i + 1).arg(problem->line).arg(problem->what)};
    }
    table = loaded;
    return std::nullopt;
}

QByteArray bytes(const HistoryTable &table)
{
    const QString crlf = QStringLiteral("\r\n");
    const QString quote = QStringLiteral("\"");
    QString out;
    for (const HistoryEntry &e : table.used())
        out += quote + e.recipientName + QStringLiteral("\",\"") + e.centerName + QStringLiteral("\",\"") + e.sentAt +
               quote + crlf + e.message + crlf;
    return cp932::encode(out);
}

QList<HistoryEntry> merged(const QList<HistoryEntry> &ours, const QList<HistoryEntry> &asLoaded,
                           const QList<HistoryEntry> &now, int rows)
{
    // Theirs: the entries of the file now less one of each that was there at reading.
    QList<HistoryEntry> known = asLoaded;
    QList<HistoryEntry> theirs;
    for (const HistoryEntry &e : now) {
        const qsizetype at = known.indexOf(e);
        if (at >= 0)
            known.remove(at);
        else
            theirs.append(e);
    }
    const QString format = QStringLiteral("yyyy/MM/dd HH:mm:ss");
    auto newer = [&](const HistoryEntry &a, const HistoryEntry &b) {
        const QDateTime ta = QDateTime::fromString(a.sentAt, format);
        const QDateTime tb = QDateTime::fromString(b.sentAt, format);
        return ta.isValid() && tb.isValid() && ta > tb;
    };
    QList<HistoryEntry> out;
    qsizetype i = 0, j = 0;
    while (out.size() < rows && (i < ours.size() || j < theirs.size())) {
        if (j < theirs.size() && (i >= ours.size() || newer(theirs[j], ours[i])))
            out.append(theirs[j++]);
        else
            out.append(ours[i++]);
    }
    return out;
}

} // namespace historyfile

std::optional<StoreError> LoadHistoryFile(AppData &data)
{
    QByteArray bytes;
    if (auto error = filestore::readAll(data.folder, data.historyFileName, &bytes))
        return error;
    if (auto error = historyfile::read(bytes, data.history, data.historyFileName))
        return error;
    data.historyAsLoaded = data.history.used();
    return std::nullopt;
}

std::optional<StoreError> SaveHistoryFile(const AppData &data)
{
    return filestore::writeAtomically(data.folder, data.historyFileName, historyfile::bytes(data.history));
}

std::optional<StoreError> SaveHistoryKeepingOthers(const AppData &data)
{
    const FolderLock lock(data.folder);
    HistoryTable now;
    now.resize(data.history.rowCount() - 1);
    QByteArray bytes;
    if (filestore::readAll(data.folder, data.historyFileName, &bytes) ||
        historyfile::read(bytes, now, data.historyFileName))
        now = HistoryTable();
    const QList<HistoryEntry> entries =
        historyfile::merged(data.history.used(), data.historyAsLoaded, now.used(), data.history.rowCount());
    HistoryTable table;
    table.resize(data.history.rowCount() - 1);
    for (qsizetype i = 0; i < entries.size(); ++i)
        table.row(int(i)) = entries[i];
    return filestore::writeAtomically(data.folder, data.historyFileName, historyfile::bytes(table));
}
