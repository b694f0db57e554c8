#pragma once

// Waits on files: the watcher's signals, never a poll.
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QStringList>
#include <QTimer>

#include <functional>

// Until done() holds, asked again at each change of the paths (files, or folders and the
// files in them); false after timeoutMs.
inline bool waitUntil(const std::function<bool()> &done, const QStringList &paths, int timeoutMs = 5000)
{
    QFileSystemWatcher watcher;
    QEventLoop loop;
    const auto check = [&] {
        for (const QString &path : paths) { // a file replaced by a rename is watched anew
            watcher.addPath(path);
            for (const QString &name : QDir(path).entryList(QDir::Files))
                watcher.addPath(path + u'/' + name);
        }
        if (done())
            loop.quit();
    };
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, check);
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &loop, check);
    check();
    if (done())
        return true;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

// Until the file exists (a hook, a server writes it).
inline bool waitForFile(const QString &path, int timeoutMs = 5000)
{
    return waitUntil([&] { return QFile::exists(path); }, {QFileInfo(path).path()}, timeoutMs);
}
