#include "store/historyfile.h"

#include "encoding/cp932.h"
#include "store/appdata.h"
#include "store/fieldreader.h"
#include "store/filestore.h"

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

} // namespace historyfile

std::optional<StoreError> LoadHistoryFile(AppData &data)
{
    QByteArray bytes;
    if (auto error = filestore::readAll(data.folder, data.historyFileName, &bytes))
        return error;
    return historyfile::read(bytes, data.history, data.historyFileName);
}

std::optional<StoreError> SaveHistoryFile(const AppData &data)
{
    return filestore::writeAtomically(data.folder, data.historyFileName, historyfile::bytes(data.history));
}
