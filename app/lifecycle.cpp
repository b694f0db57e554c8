#include "app/lifecycle.h"

#include "store/appdata.h"
#include "store/filestore.h"
#include "store/historyfile.h"
#include "store/locks.h"
#include "store/settingsfile.h"
#include "ui/platform.h"

#include <QLockFile>
#include <QStringList>
#include <cstdlib>
#include <memory>

namespace lifecycle
{
namespace
{

std::unique_ptr<QLockFile> &instanceLock()
{
    static std::unique_ptr<QLockFile> lock;
    return lock;
}

enum class LockResult { Taken, HeldByOther, FolderNotWritable };

// A lock left by a copy that was killed names a process that is gone, and QLockFile
// takes it over.
LockResult takeInstanceLock(const QString &folder)
{
    auto lock = std::make_unique<QLockFile>(lockFilePath(folder));
    // Only a dead owner makes a lock stale; a copy that has run for hours still holds it.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        instanceLock() = std::move(lock);
        return LockResult::Taken;
    }
    return lock->error() == QLockFile::LockFailedError ? LockResult::HeldByOther : LockResult::FolderNotWritable;
}

// Lines of a message box, joined with CR LF as all of the program's messages are.
QString messageLines(const QStringList &lines)
{
    return lines.join(QStringLiteral("\r\n"));
}

QString missingFileMessage(const QString &firstLine)
{
    return messageLines({firstLine, QStringLiteral("初期設定で起動します。"),
                         QStringLiteral("初めての方は気にせず進めてください。"),
                         QStringLiteral("以降、このメッセージは表示されなくなります。")});
}

[[noreturn]] void endRun(Platform &platform, int exitCode)
{
    releaseInstanceLock();
    platform.process->endProcess(exitCode);
    std::abort(); // not reached: endProcess does not return
}

void endOnError(const std::optional<StoreError> &error, Platform &platform, QWidget *parent)
{
    if (!error)
        return;
    platform.boxes->show(parent, error->message(), MessageBoxes::Critical);
    endRun(platform, 1);
}

void createMissingFiles(AppData &data, Platform &platform, QWidget *parent)
{
    if (!filestore::exists(data.folder, QString::fromLatin1(settingsfile::FileName))) {
        platform.boxes->show(parent, missingFileMessage(QStringLiteral("設定ファイルが見つかりませんでしたので、")),
                             MessageBoxes::Critical);
        endOnError(SaveSettingsFile(data), platform, parent);
    }
    data.historyFileName = filestore::existingName(data.folder, QString::fromLatin1(historyfile::FileName));
    if (!filestore::exists(data.folder, data.historyFileName)) {
        platform.boxes->show(parent, missingFileMessage(QStringLiteral("履歴ファイルが見つかりませんでしたので、")),
                             MessageBoxes::Critical);
        endOnError(filestore::writeAtomically(data.folder, data.historyFileName, QByteArray()), platform, parent);
    }
}

} // namespace

QString lockFilePath(const QString &folder)
{
    return folder + QStringLiteral("Fumidori.lock");
}

void releaseInstanceLock()
{
    instanceLock().reset();
}

void loadAtStartUp(AppData &data, Platform &platform, QWidget *messageParent)
{
    switch (takeInstanceLock(data.folder)) {
    case LockResult::Taken:
        break;
    case LockResult::HeldByOther:
        platform.boxes->show(messageParent, QStringLiteral("すでに起動していますよ！"), MessageBoxes::Critical);
        platform.process->endProcess(0);
        std::abort(); // not reached
    case LockResult::FolderNotWritable:
        // Changes made in this run could not be saved at its end: say so now, before any are made.
        platform.boxes->show(messageParent,
                             messageLines({QStringLiteral("データを保存するフォルダーに書き込めません。"), data.folder,
                                           QStringLiteral("フォルダーの書き込み権限を確かめてください。"
                                                          "ファイルは変更せずに終了します。")}),
                             MessageBoxes::Critical);
        platform.process->endProcess(1);
        std::abort(); // not reached
    }
    data.settings = Settings::defaults();
    data.centers.clear();
    data.recipients.clear();
    data.history = HistoryTable();
    createMissingFiles(data, platform, messageParent);
    endOnError(LoadSettingsFile(data), platform, messageParent);
    endOnError(LoadHistoryFile(data), platform, messageParent);
}

void saveAndExit(const AppData &data, Platform &platform, QWidget *messageParent)
{
    bool saved = true;
    // The history keeps what fumidori-send recorded while the window was open. Another
    // holder of the folder's lock is waited for a bounded time only: the files are saved
    // then all the same, as losing the user's changes is worse.
    const FolderLock lock(data.folder);
    for (const std::optional<StoreError> &error : {SaveSettingsFile(data), SaveHistoryKeepingOthers(data)}) {
        if (error) {
            platform.boxes->show(messageParent, error->message(), MessageBoxes::Critical);
            saved = false;
        }
    }
    endRun(platform, saved ? 0 : 1);
}

} // namespace lifecycle
