#pragma once

#include <QString>

// Writes a settings file with the built-in options on the given port, one centre and
// one recipient that reach the simulator (and no real line), and an empty history
// file, unless the folder has a settings file already. Returns false with a reason
// when writing failed.
bool writeSampleSettings(const QString &folder, int port, QString *error);
