#pragma once

#include "store/storeerror.h"

#include <QByteArray>
#include <optional>

struct AppData;

// The settings file "Fumidori.ini": the "[Option]" keys and the address book records.
namespace settingsfile
{

inline constexpr char FileName[] = "Fumidori.ini";

// Reads the file's bytes into data's settings, centres and recipients, and sizes the
// history table from HistoryCount. On an error data is left unchanged.
std::optional<StoreError> read(const QByteArray &bytes, AppData &data);

// The file's bytes for data, exactly as they are stored.
QByteArray bytes(const AppData &data);

} // namespace settingsfile

// Reads the settings file of data.folder into data.
std::optional<StoreError> LoadSettingsFile(AppData &data);

// Replaces the settings file of data.folder atomically with data's settings and address book.
std::optional<StoreError> SaveSettingsFile(const AppData &data);
