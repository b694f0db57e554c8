#pragma once

#include <QStringList>

class QObject;

// The program's own plugins (the libraries only some users need, loaded at first use so
// that neither the window's start nor the command-line tools pay for them).

// Where a plugin file is looked for, first match wins: beside the program (a build
// folder), then ../lib/fumidori/plugins/ from the program's folder (an installed program).
QStringList pluginPaths(const QString &fileName);

// The instance of the first of those files that loads; nullptr when none does, with
// *problems holding each loader's complaint (empty: no file was found).
QObject *loadPlugin(const QString &fileName, QStringList *problems);

// Why a plugin did not load, for a message: each loader's complaint, or where the file was
// looked for and, in a build folder, the command that builds it.
QString pluginProblem(const QString &fileName, const QStringList &problems);
