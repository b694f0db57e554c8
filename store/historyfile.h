#pragma once

#include "store/storeerror.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

struct AppData;
struct HistoryEntry;
class HistoryTable;

// The history file: per entry one line of three quoted fields (recipient, centre,
// time) and one line with the message. An empty file is an empty history.
namespace historyfile
{

inline constexpr char FileName[] = "History.ini";

// Fills the table from the file's bytes, up to as many entries as it has rows; fileName
// names the file in messages. On an error the table is left unchanged.
std::optional<StoreError> read(const QByteArray &bytes, HistoryTable &table, const QString &fileName);

// The file's bytes for the table's rows up to the first empty one.
QByteArray bytes(const HistoryTable &table);

// The entries to write back: ours, and those of the file now that were not in it when
// we read it (added by another program since), merged newest first by their time
// (ours first at equal times, each side's own order kept), at most rows of them.
QList<HistoryEntry> merged(const QList<HistoryEntry> &ours, const QList<HistoryEntry> &asLoaded,
                           const QList<HistoryEntry> &now, int rows);

} // namespace historyfile

// Reads data.historyPath() into data.history (already sized by the settings) and
// data.historyAsLoaded.
std::optional<StoreError> LoadHistoryFile(AppData &data);

// Replaces data.historyPath() atomically with the history.
std::optional<StoreError> SaveHistoryFile(const AppData &data);

// Under the folder's lock: reads the history file again and replaces it with data's
// history and the entries others added since data read it (historyfile::merged), so
// that the window and fumidori-send never lose each other's entries. A file that
// cannot be read now is replaced with data's history alone.
std::optional<StoreError> SaveHistoryKeepingOthers(const AppData &data);
