#include "support/fakeplatform.h"
#include "support/filehelpers.h"

#include "app/lifecycle.h"
#include "store/appdata.h"

#include <QDir>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

const QString SettingsMissing = QStringLiteral(
    "設定ファイルが見つかりませんでしたので、\r\n初期設定で起動します。\r\n初めての方は気にせず進めてください。\r\n"
    "以降、このメッセージは表示されなくなります。");
const QString HistoryMissing = QStringLiteral(
    "履歴ファイルが見つかりませんでしたので、\r\n初期設定で起動します。\r\n初めての方は気にせず進めてください。\r\n"
    "以降、このメッセージは表示されなくなります。");

// Runs one start-up; the exit code when it ended the process, -1 when it went on.
int startUp(AppData &data, FakePlatform &fake)
{
    try {
        lifecycle::loadAtStartUp(data, fake.platform, nullptr);
    } catch (const ProcessEnded &e) {
        return e.code;
    }
    return -1;
}

int shutDown(const AppData &data, FakePlatform &fake)
{
    try {
        lifecycle::saveAndExit(data, fake.platform, nullptr);
    } catch (const ProcessEnded &e) {
        return e.code;
    }
    return -1;
}

} // namespace

class tst_Lifecycle : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { lifecycle::releaseInstanceLock(); }

    void firstStartInEmptyFolder()
    {
        QTemporaryDir dir;
        AppData data;
        data.folder = dir.path() + u'/';
        FakePlatform fake;
        QCOMPARE(startUp(data, fake), -1);
        QCOMPARE(fake.boxes.texts(), QStringList({SettingsMissing, HistoryMissing}));
        QCOMPARE(readFileBytes(data.settingsPath()), defaultSettingsBytes());
        QVERIFY(QFileInfo(data.historyPath()).isFile());
        QCOMPARE(QFileInfo(data.historyPath()).size(), 0);
        QCOMPARE(data.settings, Settings::defaults());
        QCOMPARE(data.history.rowCount(), 21);

        QCOMPARE(shutDown(data, fake), 0); // written again, unchanged
        QCOMPARE(readFileBytes(data.settingsPath()), defaultSettingsBytes());
        QCOMPARE(QFileInfo(data.historyPath()).size(), 0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({QStringLiteral("Fumidori.ini"), QStringLiteral("History.ini")}));
    }

    void savedDataComesBack()
    {
        QTemporaryDir dir;
        AppData data;
        data.folder = dir.path() + u'/';
        QVERIFY(writeFileBytes(data.settingsPath(), storeTestData("sample.ini")));
        QVERIFY(writeFileBytes(dir.filePath(QStringLiteral("history.INI")), storeTestData("history.ini")));
        FakePlatform fake;
        QCOMPARE(startUp(data, fake), -1);
        QVERIFY(fake.boxes.shown.isEmpty());
        QCOMPARE(data.historyFileName, QStringLiteral("history.INI"));
        QCOMPARE(data.recipients.size(), 3);
        QCOMPARE(data.history.used().size(), 3);

        data.history.add({QStringLiteral("新"), QStringLiteral("C"), QStringLiteral("t"), QStringLiteral("m")});
        QCOMPARE(shutDown(data, fake), 0);
        QCOMPARE(readFileBytes(data.settingsPath()), storeTestData("sample.ini"));
        QVERIFY(readFileBytes(dir.filePath(QStringLiteral("history.INI"))).endsWith(storeTestData("history.ini")));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
                 QStringList({QStringLiteral("Fumidori.ini"), QStringLiteral("history.INI")}));

        AppData next;
        next.folder = data.folder;
        QCOMPARE(startUp(next, fake), -1);
        QCOMPARE(next.history.used().size(), 4);
        QCOMPARE(next.history.row(0).recipientName, QStringLiteral("新"));
    }

    void secondCopyRefused()
    {
        QTemporaryDir dir;
        QLockFile first(lifecycle::lockFilePath(dir.path() + u'/'));
        QVERIFY(first.tryLock(0));
        AppData data;
        data.folder = dir.path() + u'/';
        FakePlatform fake;
        QCOMPARE(startUp(data, fake), 0);
        QCOMPARE(fake.boxes.texts(), QStringList(QStringLiteral("すでに起動していますよ！")));
        QVERIFY(!QFileInfo::exists(data.settingsPath()));
    }

    void lockOfKilledCopyDoesNotRefuse()
    {
        QTemporaryDir dir;
        const QString lockPath = lifecycle::lockFilePath(dir.path() + u'/');
        const pid_t child = fork();
        if (child == 0) {
            QLockFile lock(lockPath);
            ::_exit(lock.tryLock(0) ? 0 : 1); // no unlock: as if killed
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY(QFileInfo::exists(lockPath));
        AppData data;
        data.folder = dir.path() + u'/';
        FakePlatform fake;
        QCOMPARE(startUp(data, fake), -1);
        QCOMPARE(fake.boxes.shown.size(), 2); // the two missing-file messages, no refusal
    }

    void readOnlyFolderNamedAtStart()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        QVERIFY(writeFileBytes(folder + QStringLiteral("Fumidori.ini"), storeTestData("sample.ini")));
        QVERIFY(writeFileBytes(folder + QStringLiteral("History.ini"), storeTestData("history.ini")));
        const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup |
                                            QFile::ReadOther | QFile::ExeOther;
        QVERIFY(QFile::setPermissions(dir.path(), readOnly));
        // Root may write anywhere: the start-up runs in a child that is an ordinary user.
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                ::_exit(10);
            AppData data;
            data.folder = folder;
            FakePlatform fake;
            const int code = startUp(data, fake);
            const bool named = fake.boxes.shown.size() == 1 && fake.boxes.shown[0].text.contains(folder) &&
                               fake.boxes.shown[0].icon == MessageBoxes::Critical;
            ::_exit(code == 1 && named ? 0 : 11);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(QFile::setPermissions(dir.path(), readOnly | QFile::WriteOwner));
        QCOMPARE(WEXITSTATUS(status), 0); // 11: no message naming the folder, or the start went on
        QCOMPARE(readFileBytes(folder + QStringLiteral("Fumidori.ini")), storeTestData("sample.ini"));
        QCOMPARE(readFileBytes(folder + QStringLiteral("History.ini")), storeTestData("history.ini"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    void failedSaveIsReported()
    {
        QTemporaryDir dir;
        AppData data;
        data.folder = dir.path() + u'/';
        data.settings = Settings::defaults();
        data.history.resize(3);
        data.history.add({QStringLiteral("R"), QStringLiteral("C"), QStringLiteral("t"), QStringLiteral("m")});
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Fumidori.ini"))); // cannot be replaced by a file
        FakePlatform fake;
        QCOMPARE(shutDown(data, fake), 1);
        QCOMPARE(fake.boxes.shown.size(), 1);
        QVERIFY(fake.boxes.shown[0].text.startsWith(QStringLiteral("Fumidori.ini を保存できませんでした。")));
        QCOMPARE(readFileBytes(data.historyPath()), QByteArray("\"R\",\"C\",\"t\"\r\nm\r\n"));
    }
};

QTEST_GUILESS_MAIN(tst_Lifecycle)
#include "tst_lifecycle.moc"
