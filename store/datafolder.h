#pragma once

#include <QString>

// Where one copy of the program keeps its files (settings and address book, history,
// ports/ and the lock) and where it finds what was installed with it. The window and
// every tool that reads or writes those files ask here, so that they all agree.
namespace datafolder
{

// A program folder named bin/ with ../share/fumidori/ beside it: /usr/bin, /usr/local/bin,
// /opt/.../bin, a staging root made with DESTDIR, a relocated package. A build folder is not.
bool isInstalledLayout(const QString &programDir);

// The folder of the files, ending in '/'. It is the program's own folder when that folder
// holds the settings file or does not stand in an installed layout (the portable way),
// else $XDG_DATA_HOME/fumidori/, with $HOME/.local/share in place of an unset, empty or
// relative XDG_DATA_HOME.
QString appFolder(const QString &programDir, const QString &xdgDataHome, const QString &home);

// appFolder for the running program and this process's environment, made by nobody: a
// tool whose folder may be given in its place asks here first.
QString locate();
// locate(), the data folder of an installed copy created when it is missing (a failure
// shows when the folder is used).
QString forThisProgram();

// Makes the data folder, for this user alone (0700), when it is not there; the folders
// above it as usual. One that exists is left as it is.
void make(const QString &folder);

// The folder of the help collection and other shared files, ending in '/':
// ../share/fumidori/ in an installed layout, else the program's folder.
QString sharedFolder(const QString &programDir);

} // namespace datafolder
