#include "support/filehelpers.h"
#include "support/table.h"

#include "store/appdata.h"
#include "store/datafolder.h"
#include "store/historyfile.h"
#include "store/settingsfile.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

// programDir: made under a temporary root; made: folders and files (ending in .ini) made there first; expected: ~ is
// the home folder, $ the program folder
using Rule = table::Of<QString, QStringList, QString, QString, QString>;

// what is written (a file's name, or "folder/" for the data folder), its mode before (0:
// none), its mode after
using Modes = table::Of<QString, int, int>;

// Where a copy keeps its files, for each way a copy can stand on disk.
class tst_DataFolder : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void rule_data()
    {
        const Rule row;
        const QStringList installed{QStringLiteral("usr/bin"), QStringLiteral("usr/share/fumidori")};
        const char *home = "~/.local/share/fumidori/";
        const char *usrShare = "usr/share/fumidori/";
        row("portable with settings", "copy", {"copy/Fumidori.ini"}, "", "$", "$");
        row("portable, first start", "copy", {"copy"}, "", "$", "$");
        row("build folder is named bin", "build/bin", {"build/bin"}, "", "$", "$");
        row("share/fumidori beside a folder not named bin", "opt/fumidori", {"opt/fumidori", "opt/share/fumidori"}, "",
            "$", "$");
        row("installed", "usr/bin", installed, "", home, usrShare);
        row("installed, settings beside the program", "usr/bin", installed + QStringList{"usr/bin/Fumidori.ini"}, "",
            "$", usrShare);
        row("installed, XDG_DATA_HOME set", "usr/bin", installed, "/srv/data", "/srv/data/fumidori/", usrShare);
        row("installed, XDG_DATA_HOME relative", "usr/bin", installed, "data", home, usrShare);
        row("installed, staged or relocated", "stage/opt/fumidori/bin",
            {"stage/opt/fumidori/bin", "stage/opt/fumidori/share/fumidori"}, "", home,
            "stage/opt/fumidori/share/fumidori/");
    }

    void rule()
    {
        const auto [programDir, made, xdgDataHome, expected, shared] = Rule::row();
        QTemporaryDir root;
        const QDir base(root.path());
        for (const QString &path : made) {
            const bool file = path.endsWith(u".ini");
            QVERIFY(base.mkpath(file ? QFileInfo(path).path() : path));
            QVERIFY(!file || writeFileBytes(base.filePath(path), "[Option]\r\n"));
        }
        const QString program = base.filePath(programDir);
        const QString home = QStringLiteral("/home/someone");
        const auto resolve = [&](QString text) {
            if (text == u"$")
                return program + u'/';
            if (text.startsWith(u'~'))
                return text.replace(0, 1, home);
            return text.startsWith(u'/') ? text : base.filePath(text);
        };
        QCOMPARE(datafolder::appFolder(program, xdgDataHome, home), resolve(expected));
        QCOMPARE(datafolder::sharedFolder(program), resolve(shared));
        // The same answer however the folder is written.
        QCOMPARE(datafolder::appFolder(program + u'/', xdgDataHome, home), resolve(expected));
    }
    // The address book and the numbers and texts sent are this user's alone, whatever the
    // umask, from the first start on; a folder that was there keeps its mode.
    void modes_data()
    {
        const Modes row;
        row("the settings, first start", "Fumidori.ini", 0, 0600);
        row("the settings, saved over a 0644 file", "Fumidori.ini", 0644, 0600);
        row("the history, first save", "History.ini", 0, 0600);
        row("the history, saved over a 0644 file", "History.ini", 0644, 0600);
        row("a data folder made", "folder/", 0, 0700);
        row("a data folder there already", "folder/", 0755, 0755);
    }
    void modes()
    {
        const auto [name, before, after] = Modes::row();
        const mode_t old = ::umask(022);
        const auto restore = qScopeGuard([old] { ::umask(old); });
        QTemporaryDir root;
        const QString path = root.path() + u'/' + name;
        const QByteArray file = QFile::encodeName(QDir::cleanPath(path));
        AppData data;
        data.folder = root.path() + u'/';
        data.settings = Settings::defaults();
        data.historyFileName = name;
        if (before && name.endsWith(u'/'))
            QVERIFY(::mkdir(file.constData(), mode_t(before)) == 0);
        else if (before)
            QVERIFY(writeFileBytes(path, "") && ::chmod(file.constData(), mode_t(before)) == 0);
        if (name.endsWith(u'/'))
            datafolder::make(path);
        else
            QVERIFY(!(name == QLatin1String(settingsfile::FileName) ? SaveSettingsFile(data) : SaveHistoryFile(data)));
        struct stat st = {};
        QVERIFY(::stat(file.constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), after);
    }
};

QTEST_GUILESS_MAIN(tst_DataFolder)
#include "tst_datafolder.moc"
