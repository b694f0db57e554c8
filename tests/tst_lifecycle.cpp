#include "support/fakeplatform.h"
#include "support/filehelpers.h"
#include "support/table.h"

#include "app/lifecycle.h"
#include "app/reporterror.h"
#include "store/appdata.h"
#include "store/apperror.h"

#include <QDir>
#include <QLockFile>
#include <QTemporaryFile>
#include <QTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

QString missing(const QString &file)
{
    return file +
           QStringLiteral("ファイルが見つかりませんでしたので、\r\n初期設定で起動します。\r\n初めての方は気にせず進めて"
                          "ください。\r\n以降、このメッセージは表示されなくなります。");
}

// A temporary program folder with its data and platform. Start-up and exit give the exit
// code when they end the process, -1 when it goes on.
struct Folder {
    TempDir dir;
    QString path = dir.path() + u'/';
    AppData data;
    FakePlatform fake;
    Folder() { data.folder = path; }

    template <class Run> static int exitCode(Run run)
    {
        try {
            run();
        } catch (const ProcessEnded &e) {
            return e.code;
        }
        return -1;
    }
    int startUp(AppData &d)
    {
        return exitCode([&] { lifecycle::loadAtStartUp(d, fake.platform, nullptr); });
    }
    int startUp() { return startUp(data); }
    int shutDown()
    {
        return exitCode([&] { lifecycle::saveAndExit(data, fake.platform, nullptr); });
    }
};

// The boxes of a port number that is wrong and of a port another program holds.
const QString BadPort = QStringLiteral("ポート番号が間違っています。\r\n設定で正しいポートを設定してください。");
const QString InUse =
    QStringLiteral("ポートがすでに使われております。\r\n他のソフトで使用中でないか、もう一度ご確認ください。");

struct RecordingTarget : ReportTarget {
    QStringList restored;
    void restoreAfterPortFailure(const QString &panel1Text) override { restored << panel1Text; }
};

} // namespace

// failure, raw code (0: none), report code, exit status, word, box, panel, ends
using EveryFailure = table::Of<Failure, int, int, int, QString, QString, QString, bool>;

// Start-up, exit and the error report.
class tst_Lifecycle : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { lifecycle::releaseInstanceLock(); }

    void firstStartInEmptyFolder()
    {
        Folder f;
        QCOMPARE(f.startUp(), -1);
        QCOMPARE(f.fake.boxes.texts(), QStringList({missing("設定"), missing("履歴")}));
        QCOMPARE(readFileBytes(f.data.settingsPath()), defaultSettingsBytes());
        QVERIFY(QFileInfo(f.data.historyPath()).isFile());
        QCOMPARE(QFileInfo(f.data.historyPath()).size(), 0);
        QCOMPARE(f.data.settings, Settings::defaults());
        QCOMPARE(f.data.history.rowCount(), 21);

        QCOMPARE(f.shutDown(), 0); // written again, unchanged
        QCOMPARE(readFileBytes(f.data.settingsPath()), defaultSettingsBytes());
        QCOMPARE(QFileInfo(f.data.historyPath()).size(), 0);
        QCOMPARE(QDir(f.path).entryList(QDir::Files | QDir::Hidden), QStringList({"Fumidori.ini", "History.ini"}));
    }

    // What was saved comes back, and is saved again at exit; there without the folder's lock
    // (here a named pipe stands in its place): the save does not wait on it, and saves all
    // the same.
    void savedDataComesBack()
    {
        Folder f;
        QVERIFY(writeFileBytes(f.data.settingsPath(), storeTestData("sample.ini")));
        QVERIFY(writeFileBytes(f.path + QStringLiteral("history.INI"), storeTestData("history.ini")));
        QCOMPARE(f.startUp(), -1);
        QVERIFY(f.fake.boxes.shown.isEmpty());
        QCOMPARE(f.data.historyFileName, QStringLiteral("history.INI"));
        QCOMPARE(f.data.recipients.size(), 3);
        QCOMPARE(f.data.history.used().size(), 3);

        QVERIFY(QDir(f.path).mkpath(QStringLiteral("locks")));
        QVERIFY(::mkfifo(QFile::encodeName(f.path + QStringLiteral("locks/folder.lock")).constData(), 0600) == 0);
        f.data.history.add({QStringLiteral("新"), QStringLiteral("C"), QStringLiteral("t"), QStringLiteral("m")});
        QCOMPARE(f.shutDown(), 0);
        QCOMPARE(readFileBytes(f.data.settingsPath()), storeTestData("sample.ini"));
        QVERIFY(readFileBytes(f.path + QStringLiteral("history.INI")).contains("\"C\",\"t\"\r\nm\r\n"));
        QVERIFY(readFileBytes(f.path + QStringLiteral("history.INI")).endsWith(storeTestData("history.ini")));
        QCOMPARE(QDir(f.path).entryList(QDir::Files), QStringList({"Fumidori.ini", "history.INI"}));
    }

    void secondCopyRefused()
    {
        Folder f;
        QLockFile first(lifecycle::lockFilePath(f.path));
        QVERIFY(first.tryLock(0));
        QCOMPARE(f.startUp(), 0);
        QCOMPARE(f.fake.boxes.texts(), QStringList(QStringLiteral("すでに起動していますよ！")));
        QVERIFY(!QFileInfo::exists(f.data.settingsPath()));
    }

    void lockOfKilledCopyDoesNotRefuse()
    {
        Folder f;
        const QString lockPath = lifecycle::lockFilePath(f.path);
        const pid_t child = fork();
        if (child == 0) {
            QLockFile lock(lockPath);
            ::_exit(lock.tryLock(0) ? 0 : 1); // no unlock: as if killed
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY(QFileInfo::exists(lockPath));
        QCOMPARE(f.startUp(), -1);
        QCOMPARE(f.fake.boxes.shown.size(), 2); // the two missing-file messages, no refusal
    }

    void readOnlyFolderNamedAtStart()
    {
        Folder f;
        QVERIFY(writeFileBytes(f.path + QStringLiteral("Fumidori.ini"), storeTestData("sample.ini")));
        QVERIFY(writeFileBytes(f.path + QStringLiteral("History.ini"), storeTestData("history.ini")));
        const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup |
                                            QFile::ReadOther | QFile::ExeOther;
        QVERIFY(QFile::setPermissions(f.dir.path(), readOnly));
        // Root may write anywhere: the start-up runs in a child that is an ordinary user.
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                ::_exit(10);
            const int code = f.startUp();
            const QList<ShownBox> &shown = f.fake.boxes.shown;
            const bool named =
                shown.size() == 1 && shown[0].text.contains(f.path) && shown[0].icon == MessageBoxes::Critical;
            ::_exit(code == 1 && named ? 0 : 11);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(QFile::setPermissions(f.dir.path(), readOnly | QFile::WriteOwner));
        QCOMPARE(WEXITSTATUS(status), 0); // 11: no message naming the folder, or the start went on
        QCOMPARE(readFileBytes(f.path + QStringLiteral("Fumidori.ini")), storeTestData("sample.ini"));
        QCOMPARE(readFileBytes(f.path + QStringLiteral("History.ini")), storeTestData("history.ini"));
        QCOMPARE(QDir(f.path).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    void failedSaveIsReported()
    {
        Folder f;
        f.data.settings = Settings::defaults();
        f.data.history.resize(3);
        f.data.history.add({QStringLiteral("R"), QStringLiteral("C"), QStringLiteral("t"), QStringLiteral("m")});
        QVERIFY(QDir(f.path).mkdir(QStringLiteral("Fumidori.ini"))); // cannot be replaced by a file
        QCOMPARE(f.shutDown(), 1);
        QCOMPARE(f.fake.boxes.shown.size(), 1);
        QVERIFY(f.fake.boxes.shown[0].text.startsWith(QStringLiteral("Fumidori.ini を保存できませんでした。")));
        QCOMPARE(readFileBytes(f.data.historyPath()), QByteArray("\"R\",\"C\",\"t\"\r\nm\r\n"));
    }

    // Every failure from the line to the exit: its report code, exit status and word as
    // fumidori-send tells them, and what the window does with it (the box, the first panel,
    // or the report and the end of the program). A raw code (a file's error number) is
    // looked up; one no row has ends the program.
    void everyFailure_data()
    {
        const EveryFailure row;
        using enum Failure;
        const QString cut, desc = QStringLiteral("desc"), reach = QStringLiteral("センターにつながりません");
        row("sent", None, 0, 0, 0, "sent", cut, cut, false);
        row("70 permission", PermissionDenied, 0, 70, 1, "failed", desc, "ポートを開く権限がありません", false);
        row("8002 no such port", BadPortNumber, 0, 8002, 1, "failed", BadPort, "ポートを設定し直して下さい", false);
        row("8005 port in use", PortInUse, 0, 8005, 3, "busy", InUse, "モデムが使用できません", false);
        row("8018 silent", PortNotOpen, 0, 8018, 1, "failed", cut, cut, false);
        row("8100 sound", AudioOutput, 0, 8100, 1, "failed",
            "音を出せません。\r\ndesc\r\n音声の出力装置と音量の設定を確かめてください。", "サウンドが使用できません",
            false);
        row("8101 device", DeviceFailed, 0, 8101, 1, "failed", desc, reach, false);
        row("8101 call", CallFailed, 0, 8101, 1, "failed", desc, reach, false);
        row("8101 keyring", KeyringUnavailable, 0, 8101, 2, "refused", desc, reach, false);
        row("8102 account refused", AccountRefused, 0, 8102, 2, "refused", desc, reach, false);
        row("held", Held, 0, 0, 3, "busy", desc, "モデムが使用できません", false);
        row("not for this line", NotForLine, 0, 0, 2, "refused", desc, cut, false);
        row("refused", Refused, 0, 0, 2, "refused", desc, cut, false);
        row("stopped", Stopped, 0, 0, 1, "failed", cut, cut, false);
        row("unexpected", Unexpected, 0, 0, 1, "failed", cut, cut, true);
        row("raw 8002", BadPortNumber, 8002, 8002, 1, "failed", BadPort, "ポートを設定し直して下さい", false);
        row("raw 8018", PortNotOpen, 8018, 8018, 1, "failed", cut, cut, false);
        row("raw 53", Unexpected, 53, 53, 1, "failed", cut, cut, true);
        row("raw 62", Unexpected, 62, 62, 1, "failed", cut, cut, true);
        row("raw 6", Unexpected, 6, 6, 1, "failed", cut, cut, true);
    }

    void everyFailure()
    {
        const auto [failure, raw, code, exit, word, box, panel, ends] = EveryFailure::row();
        const AppError error = raw ? AppError(raw, QStringLiteral("src"), QStringLiteral("desc"))
                                   : AppError(failure, QStringLiteral("src"), QStringLiteral("desc"));
        QCOMPARE(error.failure(), failure);
        QCOMPARE(error.code(), code);
        QCOMPARE(int(failures::row(failure).exit), exit);
        QCOMPARE(QString::fromLatin1(failures::row(failure).word), word);
        const QString report =
            QStringLiteral("エラーです。\r\nオブジェクト : src\r\nフォーム名   : frmMain\r\nイベント     : "
                           "cmdButton_Click\r\nエラー番号   : %1\r\ndesc\r\nVer 2.32")
                .arg(code);
        QTemporaryFile capture;
        QVERIFY(capture.open());
        const int saved = ::dup(STDERR_FILENO);
        ::dup2(capture.handle(), STDERR_FILENO);
        FakePlatform fake;
        RecordingTarget target;
        bool ended = false;
        try {
            ReportError(QStringLiteral("frmMain"), QStringLiteral("cmdButton_Click"), error, fake.platform, &target,
                        nullptr);
        } catch (const ProcessEnded &e) {
            ended = true;
            QCOMPARE(e.code, 1);
        }
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        QCOMPARE(ended, ends);
        QCOMPARE(fake.clipboard.history, QStringList(report));
        capture.seek(0);
        QCOMPARE(QString::fromLocal8Bit(capture.readAll()), ends ? QString(report).replace("\r\n", "\n") + u'\n' : "");
        const QStringList boxes = ends ? QStringList(report) : box.isEmpty() ? QStringList() : QStringList(box);
        QCOMPARE(fake.boxes.texts(), boxes);
        // A box leaves the window ready for the next send, with its panel text.
        QCOMPARE(target.restored, box.isEmpty() || ends ? QStringList() : QStringList(panel));
    }
    // A port another program holds: the advice as ever, then the holder when the port
    // found out who it is.
    void heldPortNamesHolder()
    {
        const QString held = QStringLiteral("ポートは既に開いています。");
        const QString who = QStringLiteral("ロックファイル /run/lock/LCK..ttyS0 は nobody（uid 65534）のものです。");
        for (const auto &[description, box] : {std::pair{held, InUse}, std::pair{held + who, InUse + "\r\n" + who}}) {
            FakePlatform fake;
            RecordingTarget target;
            ReportError(QStringLiteral("frmMain"), QStringLiteral("cmdButton_Click"),
                        AppError(Failure::PortInUse, QStringLiteral("MSComm"), description), fake.platform, &target,
                        nullptr);
            QCOMPARE(fake.boxes.texts(), QStringList(box));
        }
    }
};

QTEST_GUILESS_MAIN(tst_Lifecycle)
#include "tst_lifecycle.moc"
