#pragma once

#include "store/storeerror.h"

#include <QByteArray>
#include <optional>

#include <QList>
#include <QStringList>
#include <utility>

struct AppData;
struct Settings;

// The settings file "Fumidori.ini": the "[Option]" keys and the address book records.
namespace settingsfile
{

inline constexpr char FileName[] = "Fumidori.ini";

// Reads the file's bytes into data's settings, centres and recipients, and sizes the
// history table from HistoryCount. On an error data is left unchanged.
std::optional<StoreError> read(const QByteArray &bytes, AppData &data);

// The file's bytes for data, exactly as they are stored.
QByteArray bytes(const AppData &data);

// The [Option] keys that say how a device is reached and driven (ModemKind, PortNumber,
// TonePulse, DialSpeed, OutSide, OutsideOn, ExCommand, OkCheckNo, ToneLength, ToneGap,
// the SIP keys and VoiceModem): those a line of the queue may set for itself.
const QStringList &deviceKeys();

// Sets the given device keys (any letter case) in settings, each value read as the
// settings file's would be. The problem, if any: a key that is none of deviceKeys(), a
// value out of range or not writable in Shift_JIS. Keys before it are applied.
std::optional<QString> applyDeviceKeys(Settings &settings, const QList<std::pair<QString, QString>> &values);

} // namespace settingsfile

// Reads the settings file of data.folder into data.
std::optional<StoreError> LoadSettingsFile(AppData &data);

// Replaces the settings file of data.folder atomically with data's settings and address book.
std::optional<StoreError> SaveSettingsFile(const AppData &data);
