#include "support/filehelpers.h"
#include "support/table.h"

#include "store/datafolder.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

// programDir: made under a temporary root; made: folders and files (ending in .ini) made there first; expected: ~ is
// the home folder, $ the program folder
using Rule = table::Of<QString, QStringList, QString, QString, QString>;

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
            if (path.endsWith(u".ini")) {
                QVERIFY(base.mkpath(QFileInfo(path).path()));
                QVERIFY(writeFileBytes(base.filePath(path), "[Option]\r\n"));
            } else {
                QVERIFY(base.mkpath(path));
            }
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
};

QTEST_GUILESS_MAIN(tst_DataFolder)
#include "tst_datafolder.moc"
