#include "support/filehelpers.h"
#include "support/sendrig.h"
#include "support/server.h"
#include "support/table.h"

#include "store/datafolder.h"
#include "ui/helpwindow.h"

#include <QDirIterator>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

// The build installed into a staging root (DESTDIR) and made into a Debian package, checked
// with the desktop's own tools, and the installed program run from there.
namespace
{

const QString AppId = QStringLiteral("org.example.fumidori.Fumidori");

// Installing, packing and checking a package take minutes on a busy machine.
const int Slow = 300000;

// Every file and link under root, relative to it.
QStringList tree(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

ino_t inode(const QString &path)
{
    struct stat st {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

using Validators = table::Of<QString, QStringList>;

class tst_Install : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DESTDIR"), m_stage.path());
        const ToolRun r = runTool(QStringLiteral(FUMIDORI_CMAKE), {"--install", FUMIDORI_BUILD_DIR, "--prefix", "/usr"},
                                  {}, env, Slow);
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        m_tree = tree(m_stage.path());
    }
    void installedFiles()
    {
        // The desktop file, metainfo and manual pages are checked by the validators below; the
        // program, the simulator and the help by running them.
        for (const char *path :
             {"bin/fumidori-dtmf", "bin/fumidori-send", "lib/systemd/user/fumidori-send.service",
              "lib/systemd/system/fumidori-send-system.service", "lib/sysusers.d/fumidori.conf",
              "lib/tmpfiles.d/fumidori.conf", "lib/fumidori/plugins/fumidori-mail.so",
              "lib/fumidori/plugins/fumidori-snpp.so", "share/doc/fumidori/copyright",
              "share/doc/fumidori/changelog.gz", "share/doc/fumidori/examples/70-fumidori-modem.rules",
              "share/polkit-1/rules.d/50-fumidori-modemmanager.rules", "lib/fumidori/plugins/fumidori-systembus.so",
              "share/bash-completion/completions/fumidori-dtmf", "share/bash-completion/completions/fumidori-modemsim",
              "share/bash-completion/completions/fumidori-send"})
            QVERIFY2(QFileInfo(installed(QLatin1String(path))).isFile(), path);
        QVERIFY(QFileInfo(installed("share/icons/hicolor/scalable/apps/" + AppId + ".svg")).isFile());
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            const QString icon = u"share/icons/hicolor/%1x%1/apps/%2.png"_qs.arg(size).arg(AppId);
            QCOMPARE(QImage(installed(icon)).size(), QSize(size, size));
        }
    }
    void validators_data()
    {
        const Validators row;
        row("desktop file", "desktop-file-validate", {QStringLiteral("share/applications/%1.desktop").arg(AppId)});
        row("metainfo", "appstreamcli",
            {"validate", "--no-net", QStringLiteral("share/metainfo/%1.metainfo.xml").arg(AppId)});
        for (const char *name : {"fumidori", "fumidori-dtmf", "fumidori-modemsim", "fumidori-send"})
            QTest::addRow("man %s", name) << Validators::Row{
                "man", {"--warnings", "-E", "UTF-8", "-l", QStringLiteral("share/man/man1/%1.1.gz").arg(name)}};
    }
    void validators()
    {
        auto [program, args] = Validators::row();
        if (QStandardPaths::findExecutable(program).isEmpty())
            QSKIP(qPrintable(program + QStringLiteral(" is not installed (scripts/setup installs it)")));
        args.last() = installed(args.last());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
        const ToolRun r = runTool(program, args, {}, env, Slow);
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        // appstreamcli reports warnings and errors on standard output and still succeeds.
        for (const QByteArray &line : r.out.split('\n'))
            QVERIFY2(!line.startsWith("W:") && !line.startsWith("E:"), r.out.constData());
    }
    void installedHelpOpens()
    {
        // The window opens the help collection found by this rule from the program's folder.
        const QString shared = datafolder::sharedFolder(installed(QStringLiteral("bin")));
        QCOMPARE(shared, installed(QStringLiteral("share/fumidori/")));
        HelpWindow help(shared + HelpWindow::collectionFileName());
        help.showContents(nullptr);
        QCOMPARE(help.currentPage().fileName(), QStringLiteral("index.html"));
        QVERIFY(help.pageText().startsWith(QStringLiteral("Fumidori ヘルプ")));
        QCOMPARE(tree(m_stage.path()), m_tree); // read where it lies, nothing written there
    }
    void installedProgramKeepsFilesInDataFolder()
    {
        QTemporaryDir home;
        QTemporaryDir work;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.remove(QStringLiteral("XDG_DATA_HOME"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const QString data = home.filePath(QStringLiteral(".local/share/fumidori/"));
        const QString settings = data + "Fumidori.ini", history = data + "History.ini";
        ServerProcess sim, program; // what each says on standard error, in its log
        sim.process.setWorkingDirectory(work.path());
        program.process.setWorkingDirectory(work.path());

        // The simulator, told no folder, links its line into the data folder the program uses.
        QVERIFY2(sim.start(installed(QStringLiteral("bin/fumidori-modemsim")), {"--sample"}, " -> ", 30000, env),
                 sim.log.constData());
        QVERIFY2(sim.log.startsWith("fumidori-modemsim: " + QFile::encodeName(data) + "ports/COM1 -> "),
                 sim.log.constData());
        // It also writes an empty history, so the program starts without the first start's messages.
        const QByteArray sample = readFileBytes(settings);
        QVERIFY(!sample.isEmpty() && QFileInfo::exists(history));
        const ino_t settingsBefore = inode(settings), historyBefore = inode(history);

        // The offscreen platform says this when the main window is shown, after the program has
        // loaded its files and set up its shut-down on SIGTERM.
        QVERIFY2(program.start(installed(QStringLiteral("bin/fumidori")), {}, "propagateSizeHints", 30000, env),
                 program.log.constData());
        QVERIFY(QFileInfo::exists(data + QStringLiteral("Fumidori.lock")));
        ::kill(pid_t(program.process.processId()), SIGTERM);
        QVERIFY(program.process.waitForFinished(30000));
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);

        // Both files written again (replaced, so new inodes) in the data folder, the lock given up.
        QVERIFY(inode(settings) != settingsBefore && inode(history) != historyBefore);
        QCOMPARE(readFileBytes(settings), sample);
        QCOMPARE(QDir(data).entryList(QDir::Files | QDir::Hidden), QStringList({"Fumidori.ini", "History.ini"}));
        // Nothing beside the program or in the working folder.
        QCOMPARE(tree(m_stage.path()), m_tree);
        QCOMPARE(tree(work.path()), QStringList());

        sim.process.terminate();
        QVERIFY(sim.process.waitForFinished(30000));
        QVERIFY(!QFileInfo(data + QStringLiteral("ports/COM1")).isSymLink());
    }

    void debianPackage()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dpkg-shlibdeps")).isEmpty())
            QSKIP("dpkg-dev is not installed (scripts/setup installs it)");
        QTemporaryDir out;
        const ToolRun made =
            runTool(QStringLiteral(FUMIDORI_CPACK),
                    {"-G", "DEB", "-B", out.path(), "--config", FUMIDORI_BUILD_DIR "/CPackConfig.cmake"}, {},
                    QProcessEnvironment::systemEnvironment(), Slow);
        QVERIFY2(made.exitCode == 0, qPrintable(made.out + made.err));
        const QString deb = out.filePath(QStringLiteral("fumidori_" FUMIDORI_VERSION "_amd64.deb"));
        QVERIFY2(QFileInfo(deb).isFile(), made.out.constData());

        const ToolRun depends = runTool(QStringLiteral("dpkg-deb"), {"-f", deb, "Depends"});
        QVERIFY2(depends.out.contains("libqt6widgets6") && depends.out.contains("libqt6sql6-sqlite") &&
                     depends.out.contains("systemd | systemd-standalone-sysusers") && depends.out.contains("libgmime"),
                 depends.out.constData());
        const ToolRun postinst = runTool(QStringLiteral("dpkg-deb"), {"-I", deb, "postinst"});
        QVERIFY2(postinst.out.contains("systemd-sysusers"), postinst.out.constData());

        if (QStandardPaths::findExecutable(QStringLiteral("lintian")).isEmpty())
            QSKIP("lintian is not installed (scripts/setup installs it)");
        const ToolRun lint =
            runTool(QStringLiteral("lintian"), {deb}, {}, QProcessEnvironment::systemEnvironment(), Slow);
        qInfo("lintian:\n%s%s", lint.out.constData(), qPrintable(lint.err));
        for (const QByteArray &line : lint.out.split('\n'))
            QVERIFY2(!line.startsWith("E:"), lint.out.constData());
    }

private:
    QString installed(const QString &path) const { return m_stage.filePath(QStringLiteral("usr/") + path); }

    QTemporaryDir m_stage;
    QStringList m_tree;
};

QTEST_MAIN(tst_Install)
#include "tst_install.moc"
