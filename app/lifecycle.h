#pragma once

#include <QString>

class QWidget;
struct AppData;
struct Platform;

// The two ends of a run.
namespace lifecycle
{

// Start-up up to the loaded history: refuses a second copy for this data folder, and a
// folder it cannot write to, naming it (message, then the process ends); sets the
// built-in settings, creates missing files with their messages, and reads the settings,
// the address book and the history into data. A damaged file ends the process with a
// message naming the file and what is wrong, and nothing is written.
void loadAtStartUp(AppData &data, Platform &platform, QWidget *messageParent);

// Shut-down after the hang-up: writes the settings file and the history file (with
// the entries others added to it since start-up), under the folder's lock, then ends
// the process. A save that fails is reported before the end.
[[noreturn]] void saveAndExit(const AppData &data, Platform &platform, QWidget *messageParent);

// The lock file that keeps a second copy from running on the same data folder.
QString lockFilePath(const QString &folder);

// Gives up this copy's hold on its data folder (done before the process ends).
void releaseInstanceLock();

} // namespace lifecycle
