#pragma once

#include "store/storeerror.h"

#include <QByteArray>
#include <QString>
#include <optional>

struct AppData;
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

} // namespace historyfile

// Reads data.historyPath() into data.history (already sized by the settings).
std::optional<StoreError> LoadHistoryFile(AppData &data);

// Replaces data.historyPath() atomically with the history.
std::optional<StoreError> SaveHistoryFile(const AppData &data);
