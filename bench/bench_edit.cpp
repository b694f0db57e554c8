// The main window with 200 centres, 2000 recipients and 1000 history entries: the
// recount of a 10,000-character message through the message box's change handler,
// and the save at exit (settings file and history file, each written to a temporary
// file, flushed to the disk with fdatasync and renamed over the old one). The folder
// is next to this program, on the disk the program would use, not in /tmp.
//   bench_edit [ROUNDS]
#include "benchdata.h"
#include "benchwindow.h"

#include "app/lifecycle.h"
#include "encoding/textcheck.h"
#include "ui/mailedit.h"
#include "ui/platform.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTemporaryDir>

namespace
{

struct Ended {
};

// The end of the run after the save: back to the benchmark instead of out of the process.
class ReturningExit : public ProcessControl
{
public:
    [[noreturn]] void endProcess(int) override { throw Ended{}; }
};

// Milliseconds of each of rounds calls of work.
QList<double> timed(int rounds, const std::function<void()> &work)
{
    QList<double> ms;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        work();
        ms << double(clock.nsecsElapsed()) / 1e6;
    }
    return ms;
}

void printFigure(const char *what, const QList<double> &ms, const char *goal)
{
    std::printf("%-52s median %8.3f ms, max %8.3f ms  (%s)\n", what, bench::median(ms),
                *std::max_element(ms.begin(), ms.end()), goal);
}

QString longMessage()
{
    QString text;
    while (text.size() < 10000)
        text += QStringLiteral("今日は ABC-123 ｶﾀｶﾅ まじりの文です。\r\n");
    text.truncate(10000);
    return text;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = qMax(1, app.arguments().value(1, QStringLiteral("50")).toInt());
    QTemporaryDir dir(QCoreApplication::applicationDirPath() + QStringLiteral("/bench-XXXXXX"));
    AppData data;
    data.folder = dir.path() + QLatin1Char('/');
    if (!bench::writeLargeFolder(data.folder))
        return 1;
    ReturningExit process;
    bench::MainWindow program(data, process);
    frmMain &window = program.window;
    window.Form_Load();
    window.show();
    const QString message = longMessage();
    window.txtMail->setPlainText(message);

    std::printf("%d centres, %d recipients, %d history entries; %d rounds each\n", bench::Centers, bench::Recipients,
                bench::HistoryEntries, rounds);
    // The centre kind whose count is slowest (bytes in CP932 rather than characters).
    int slowestKind = 0;
    QList<double> slowest;
    for (int kind = 0; kind < 8; ++kind) {
        const QList<double> ms = timed(rounds, [&] { textcheck::count(message, kind); });
        if (slowest.isEmpty() || bench::median(ms) > bench::median(slowest)) {
            slowest = ms;
            slowestKind = kind;
        }
    }
    window.cmbCenter->setCurrentIndex(slowestKind); // centre i is of kind i % 8
    std::printf("the message's centre is of kind %d, the slowest to count\n", slowestKind);
    printFigure("count of 10,000 characters (textcheck::count alone)", slowest, "reference");
    printFigure("recount of 10,000 characters (txtMail_Change)", timed(rounds, [&] { window.txtMail_Change(); }),
                "goal < 1 ms");
    printFigure("one character typed at the end (edit + recount)",
                timed(rounds,
                      [&] {
                          window.txtMail->moveCursor(QTextCursor::End);
                          window.txtMail->insertPlainText(QStringLiteral("あ"));
                      }),
                "the editor's own work included");
    printFigure("save at exit (both files, with fdatasync)",
                timed(rounds,
                      [&] {
                          try {
                              lifecycle::saveAndExit(data, program.platform, &window);
                          } catch (const Ended &) {
                          }
                      }),
                "goal < 20 ms");
    return 0;
}
