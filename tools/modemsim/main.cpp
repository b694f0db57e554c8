// fumidori-modemsim: a voice modem (or a mobile-phone module) and a message centre on a pseudo-terminal, linked
// as COMn of a program folder. Prints what each call delivered; runs until killed.
#include "modemsim.h"
#include "ptyline.h"
#include "samplesettings.h"
#include "sipcentre.h"
#include "socketline.h"
#include "store/datafolder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace
{

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Every byte both ways, one line per read or write: monotonic seconds, direction, bytes.
class Transcript
{
public:
    bool open(const QString &path)
    {
        m_file.setFileName(path);
        return m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    }
    void log(const char *direction, const QByteArray &bytes)
    {
        if (!m_file.isOpen() || bytes.isEmpty())
            return;
        QByteArray line = QByteArray::number(double(nowUs()) / 1e6, 'f', 6) + ' ' + direction + ' ';
        for (char c : bytes) {
            const uchar b = uchar(c);
            if (b >= 0x20 && b < 0x7F && c != '\\')
                line += c;
            else
                line += "\\x" + QByteArray::number(b, 16).rightJustified(2, '0');
        }
        m_file.write(line + '\n');
    }

private:
    QFile m_file;
};

struct Pending {
    qint64 dueUs;
    QByteArray bytes;
};

void addOptions(QCommandLineParser &p)
{
    p.addHelpOption();
    p.addOptions({
        {"folder",
         "Data folder whose ports/COMn the line is linked as (default: the one the installed or "
         "portable program beside this tool uses).",
         "dir"},
        {"port", "COM port number.", "n", "1"},
        {"sample", "Write a settings file that reaches the simulator, and an empty history, where the folder has no "
                   "settings file."},
        {"transcript", "Write every byte both ways to the file.", "file"},
        {"no-carrier-after", "Answer the n-th command of a call with NO CARRIER.", "n", "0"},
        {"drop-after", "Close the line after the n-th command of a call.", "n", "0"},
        {"fail-every", "Fail every n-th call whole: NO CARRIER to its centre dial.", "n", "0"},
        {"no-dialtone", "Answer every centre dial with NO DIALTONE (a dead phone line)."},
        {"unreachable", "A centre number that never answers: its dial gets NO CARRIER.", "digits"},
        {"silent", "Never answer."},
        {"no-cr", "Answer without CR."},
        {"delay", "Milliseconds before each answer.", "ms", "0"},
        {"noise", "Random bytes before each answer.", "n", "0"},
        {"kind",
         "What is on the line: modem, or module (a mobile-phone module: ATD<number>;, AT+VTS=<key>, "
         "AT+CHUP).",
         "kind", "modem"},
        {"chup-error", "As a module, answer AT+CHUP with ERROR."},
        {"unregistered", "As a module, tell AT+CREG? it is searching for a network (not registered)."},
        {"managed",
         "Be a mobile-phone module as a modem manager in its test mode sees it, on a UNIX socket at this path "
         "(it answers the manager's probing and lists its call in +CLCC); --drop-after then counts the keys of a "
         "call.",
         "path"},
        {"imei", "The managed module's equipment identifier.", "digits", "490154203237518"},
        {"busy", "Answer every centre dial with BUSY."},
        {"no-answer", "Answer every centre dial with NO ANSWER (a managed module's call rings on unanswered)."},
        {"sip", "Be the centre over SIP instead: a baresip on 127.0.0.1 at this port.", "port"},
        {"number", "The SIP centre's number.", "digits", "03000000111"},
        {"hang-up-after", "The SIP centre hangs up after the n-th digit of a call.", "n", "0"},
    });
}

// The centre over SIP, on Qt's event loop; the stop signals arrive through a signalfd.
int runSip(const QCommandLineParser &p, const sigset_t &stops)
{
    const uint port = p.value("sip").toUInt();
    const int fd = ::signalfd(-1, &stops, SFD_CLOEXEC);
    QSocketNotifier stopNotifier(fd, QSocketNotifier::Read);
    SipCentre centre;
    int status = 0;
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&] {
        signalfd_siginfo info;
        [[maybe_unused]] const ssize_t n = ::read(fd, &info, sizeof info);
        centre.stop();
    });
    QObject::connect(&centre, &SipCentre::ready, [&] {
        std::fprintf(stderr, "fumidori-modemsim: SIP centre sip:%s@127.0.0.1:%u ready\n", qPrintable(p.value("number")),
                     port);
    });
    QObject::connect(&centre, &SipCentre::failed, [&](const QString &message) {
        std::fprintf(stderr, "fumidori-modemsim: %s\n", qPrintable(message));
        status = 1;
    });
    QObject::connect(&centre, &SipCentre::finished, qApp, &QCoreApplication::quit);
    centre.callEnded = [](const QString &digits, const CallRecord &call) {
        std::fputs(("received: " + digits + u'\n' + call.summary()).toUtf8().constData(), stdout);
        std::fflush(stdout);
    };
    centre.start(quint16(port), p.value("number"), p.value("hang-up-after").toInt());
    QCoreApplication::exec();
    ::close(fd);
    return status;
}

// Serves the line until a stop signal: what the program writes goes to the simulator,
// its answers come back after the delay.
template <class L> int serve(L &line, ModemSim &sim, Transcript &transcript, qint64 delayUs, const sigset_t &unblocked)
{
    QString error;
    std::deque<Pending> pending;
    bool dropRequested = false;
    auto send = [&](const QByteArray &bytes) {
        transcript.log("tx", bytes);
        line.write(bytes);
    };
    sim.echo = send;
    sim.answer = [&](const QByteArray &bytes) { pending.push_back({nowUs() + delayUs, bytes}); };
    sim.dropLine = [&] { dropRequested = true; };
    sim.callEnded = [](const CallRecord &call) {
        std::fputs(call.summary().toUtf8().constData(), stdout);
        std::fflush(stdout);
    };

    while (!stopRequested) {
        int timeoutMs = -1;
        if (!pending.empty())
            timeoutMs = int(qMax<qint64>(0, (pending.front().dueUs - nowUs() + 999) / 1000));
        pollfd fds[2] = {{line.fd(), POLLIN, 0}, {line.closeWatch(), POLLIN, 0}};
        pollfd &fd = fds[0];
        // The stop signals are blocked outside this call, so none slips in before it sleeps.
        timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
        const int ready = ::ppoll(fds, line.closeWatch() >= 0 ? 2 : 1, timeoutMs < 0 ? nullptr : &timeout, &unblocked);
        if (ready < 0)
            continue; // a signal: look at the stop flag
        const auto take = [&](const QByteArray &bytes) {
            transcript.log("rx", bytes);
            sim.receive(bytes);
        };
        if (fd.revents & POLLIN)
            take(line.read());
        if (fds[1].revents & POLLIN) {
            // What the program wrote before it closed the port is its call's; then the call ends.
            for (QByteArray rest = line.read(); !rest.isEmpty(); rest = line.read())
                take(rest);
            line.programClosed();
            sim.portClosed();
        }
        while (!pending.empty() && pending.front().dueUs <= nowUs()) {
            send(pending.front().bytes);
            pending.pop_front();
        }
        if (dropRequested || (fd.revents & (POLLHUP | POLLERR))) {
            // The line is closed under the program; a fresh one takes its place.
            dropRequested = false;
            pending.clear();
            sim.portClosed();
            transcript.log("tx", "<line closed>");
            if (!line.open(&error)) {
                std::fprintf(stderr, "fumidori-modemsim: %s\n", qPrintable(error));
                return 1;
            }
        }
    }
    return 0;
}

int run(const QCommandLineParser &p, const sigset_t &unblocked)
{
    const QString folder = p.isSet("folder") ? QDir(p.value("folder")).absolutePath() : datafolder::forThisProgram();
    const int port = p.value("port").toInt();
    QString error;
    if (p.isSet("sample") && !writeSampleSettings(folder, port, &error)) {
        std::fprintf(stderr, "fumidori-modemsim: %s\n", qPrintable(error));
        return 1;
    }
    Transcript transcript;
    if (p.isSet("transcript") && !transcript.open(p.value("transcript"))) {
        std::fprintf(stderr, "fumidori-modemsim: cannot write %s\n", qPrintable(p.value("transcript")));
        return 1;
    }
    SimFaults faults;
    faults.noCarrierAfter = p.value("no-carrier-after").toInt();
    faults.dropAfter = p.value("drop-after").toInt();
    faults.failEvery = p.value("fail-every").toInt();
    faults.silent = p.isSet("silent");
    faults.noDialtone = p.isSet("no-dialtone");
    faults.unreachable = p.value("unreachable");
    faults.noCr = p.isSet("no-cr");
    faults.noise = p.value("noise").toInt();
    faults.chupError = p.isSet("chup-error");
    faults.unregistered = p.isSet("unregistered");
    const qint64 delayUs = p.value("delay").toLongLong() * 1000;
    faults.busy = p.isSet("busy");
    faults.noAnswer = p.isSet("no-answer");
    faults.imei = p.value("imei");
    const bool managed = p.isSet("managed");
    if (managed) {
        faults.dropAfterKeys = faults.dropAfter;
        faults.dropAfter = 0;
    }
    const SimKind kind = managed ? SimKind::Managed : p.value("kind") == u"module" ? SimKind::Module : SimKind::Modem;
    ModemSim sim(faults, kind);
    const auto opened = [&](auto &line) {
        if (!line.open(&error)) {
            std::fprintf(stderr, "fumidori-modemsim: %s\n", qPrintable(error));
            return false;
        }
        std::fprintf(stderr, "fumidori-modemsim: %s -> %s\n", qPrintable(line.linkPath()),
                     qPrintable(line.devicePath()));
        return true;
    };
    if (managed) {
        SocketLine line(p.value("managed"));
        return opened(line) ? serve(line, sim, transcript, delayUs, unblocked) : 1;
    }
    PtyLine line(folder, port);
    return opened(line) ? serve(line, sim, transcript, delayUs, unblocked) : 1;
}
// Every option's value in its range: a whole number from low to high. The problem, if any.
QString badOption(const QCommandLineParser &p)
{
    struct Range {
        const char *name;
        qint64 low, high;
    };
    static const Range ranges[] = {
        {"port", 1, 15},
        {"delay", 0, 60000},
        {"noise", 0, 16 * 1024 * 1024},
        {"no-carrier-after", 0, 1000000},
        {"drop-after", 0, 1000000},
        {"fail-every", 0, 1000000},
        {"sip", 1, 65534},
        {"hang-up-after", 0, 1000000},
    };
    for (const Range &r : ranges) {
        const QString name = QLatin1String(r.name);
        if (!p.isSet(name) && name == u"sip")
            continue;
        bool ok = false;
        const qint64 value = p.value(name).toLongLong(&ok);
        if (!ok || value < r.low || value > r.high)
            return QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                .arg(name)
                .arg(r.low)
                .arg(r.high)
                .arg(p.value(name).left(40));
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9*#]{1,32}$"));
    if (p.isSet("unreachable") && !digits.match(p.value("unreachable")).hasMatch())
        return QStringLiteral("--unreachable takes 1 to 32 dial digits (0-9 * #), not \"%1\"")
            .arg(p.value("unreachable").left(40));
    static const QRegularExpression imei(QStringLiteral("^[0-9]{1,20}$"));
    if (!imei.match(p.value("imei")).hasMatch())
        return QStringLiteral("--imei takes 1 to 20 digits, not \"%1\"").arg(p.value("imei").left(40));
    if (p.value("kind") != u"modem" && p.value("kind") != u"module")
        return QStringLiteral("--kind takes modem or module, not \"%1\"").arg(p.value("kind").left(40));
    if (!p.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments().first().left(40));
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated voice modem and message centre on a pseudo-terminal."));
    addOptions(parser);
    // Bad usage is exit status 2, as with the other tools.
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "fumidori-modemsim: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet("help"))
        parser.showHelp(0);
    if (const QString problem = badOption(parser); !problem.isEmpty()) {
        std::fprintf(stderr, "fumidori-modemsim: %s\n", qPrintable(problem));
        return 2;
    }
    struct sigaction action {
    };
    action.sa_handler = requestStop;
    sigset_t stops, unblocked;
    sigemptyset(&stops);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(sig, &action, nullptr);
        sigaddset(&stops, sig);
    }
    ::sigprocmask(SIG_BLOCK, &stops, &unblocked);
    if (parser.isSet("sip"))
        return runSip(parser, stops);
    return run(parser, unblocked);
}
