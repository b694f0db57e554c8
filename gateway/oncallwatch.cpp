#include "gateway/oncallwatch.h"

#include "gateway/oncall.h"
#include "gateway/prepare.h"
#include "gateway/reporter.h"
#include "gateway/rota.h"
#include "store/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

OnCallWatch::OnCallWatch(QString folder, Reporter &reporter, RunnerClock &clock, QObject *parent)
    : QObject(parent), m_folder(std::move(folder)), m_reporter(reporter), m_retry(clock.timer([this] { changed(); }))
{
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &OnCallWatch::changed);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &OnCallWatch::changed);
}

OnCallWatch::~OnCallWatch()
{
    OnCall::keep(m_folder, std::nullopt);
}

void OnCallWatch::start()
{
    m_files = {QDir(m_folder).filePath(QString::fromLatin1(OnCall::FileName)),
               QDir(m_folder).filePath(QString::fromLatin1(settingsfile::FileName))};
    changed();
}

// Each file's stamp: a file renamed in or written in place changes it, a change elsewhere
// in the folder (History.ini, a lock) does not.
QByteArray OnCallWatch::signature(const QStringList &files) const
{
    QByteArray out;
    for (const QString &file : files)
        out += fileStamp(file) + ';';
    return out;
}

// The files and the folders they are in. The files are watched anew each time: one replaced
// by a rename is another file, which a watch of the old one would never tell of.
void OnCallWatch::watch(const QStringList &files)
{
    if (!m_watcher.files().isEmpty())
        m_watcher.removePaths(m_watcher.files());
    QStringList paths;
    for (const QString &file : files)
        paths << file << QFileInfo(file).absolutePath();
    paths.removeDuplicates();
    for (const QString &path : std::as_const(paths))
        if (!m_watcher.directories().contains(path) && QFileInfo::exists(path))
            m_watcher.addPath(path);
}

void OnCallWatch::changed()
{
    const QByteArray now = signature(m_files);
    if (now == m_signature)
        return;
    AppData data;
    if (const std::optional<Outcome> problem = loadFolder(m_folder, data)) {
        if (problem->status() == ExitStatus::Busy) { // the folder locked for a moment
            m_retry->start(1000);
            return;
        }
        data = AppData{}; // the book unreadable: the names of oncall.ini alone, told below
    }
    const OnCall read = OnCall::read(m_folder, OnCall::bookNames(data));
    const bool first = m_signature.isEmpty();
    // The calendars of the copy in use stay watched while a bad file keeps it in use.
    const QStringList inUse = read.ok() ? QStringList() : m_files.mid(2);
    m_files = QStringList{m_files.value(0), m_files.value(1)} + read.calendarFiles(m_folder) + inUse;
    m_files.removeDuplicates();
    m_signature = signature(m_files);
    watch(m_files);
    // Emptied, not removed: most likely an editor writing it in place, caught in between.
    const QFileInfo ini(m_files.value(0));
    const bool emptied = m_kept && ini.exists() && ini.size() == 0;
    if (!read.ok() || emptied) {
        const QString why = emptied
                                ? QStringLiteral("%1 が空です（書いている途中かもしれません）。").arg(OnCall::FileName)
                                : read.error();
        m_problem = m_kept ? QStringLiteral("%1 前に読めたものを使い続けます。").arg(why) : why;
        m_reporter.warn(QStringLiteral("oncall"), m_problem, {{QStringLiteral("file"), m_files.value(0)}});
        emit reread(m_problem);
        return;
    }
    for (const QString &problem : read.problems())
        m_reporter.warn(QStringLiteral("oncall"), problem);
    if (!first)
        m_reporter.note(QStringLiteral("oncall"), QStringLiteral("%1 を読み直しました。").arg(OnCall::FileName));
    OnCall::keep(m_folder, read);
    m_kept = true;
    m_problem.clear();
    emit reread(m_problem);
}
