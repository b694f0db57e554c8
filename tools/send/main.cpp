// fumidori-send: sends a message from a script, with no window, over the settings,
// address book and history the window uses; or queues it for "queue run".
#include "hooks.h"
#include "mailintake.h"
#include "messagesend.h"
#include "options.h"
#include "queueadd.h"
#include "queuerunner.h"
#include "report.h"
#include "store/datafolder.h"
#include "store/sendqueue.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP run stop from the event loop.
void onStop(QObject *context, std::function<void()> stop)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [stop = std::move(stop)] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        stop();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

// The message from the command line, else standard input in UTF-8; line breaks at its end
// dropped. Unreadable input is reported.
std::optional<QString> messageText(const Options &o, Reporter &reporter)
{
    QString text = o.message;
    if (!o.messageGiven) {
        if (::isatty(STDIN_FILENO))
            std::fputs("fumidori-send: メッセージを入力し、Ctrl+D で終えてください。\n", stderr);
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            reporter.result({ExitStatus::BadInput, QStringLiteral("標準入力を読めません。")});
            return std::nullopt;
        }
        QStringDecoder utf8(QStringDecoder::Utf8);
        text = utf8.decode(in.readAll());
        if (utf8.hasError()) {
            reporter.result({ExitStatus::BadInput, QStringLiteral("標準入力が UTF-8 ではありません。")});
            return std::nullopt;
        }
    }
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    return text;
}

// What the device kinds that need a person or a secret may have here.
DeviceAccess deviceAccess(const Options &o)
{
    // A prompt can be asked where the process has a terminal, whatever its input is.
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty >= 0)
        ::close(tty);
    DeviceAccess access{tty >= 0 || ::isatty(STDIN_FILENO), o.sipPasswordFile, o.sipPassword};
    if (o.answerLimitS)
        access.answerLimitMs = qint64(*o.answerLimitS) * 1000;
    access.trace = o.trace;
    return access;
}

// After the outcome: the hook of the outcome, then the end with its exit status.
void endWith(const Options &o, Reporter &reporter, const Outcome &outcome, const QString &text, int attempt)
{
    reporter.result(outcome, {{QStringLiteral("attempt"), attempt}});
    const QString hook = outcome.status == ExitStatus::Sent ? o.onSent : o.onFailed;
    const int code = outcome.exitCode();
    if (hook.isEmpty()) {
        QCoreApplication::exit(code);
        return;
    }
    auto *run = new Hook(hook, {outcome, text, attempt, {}}, reporter, qApp);
    QObject::connect(run, &Hook::finished, [code] { QCoreApplication::exit(code); });
    run->start();
}

int sendNow(const Options &o, Reporter &reporter)
{
    const std::optional<QString> text = messageText(o, reporter);
    if (!text)
        return 2;
    const int attempts = o.attempts.value_or(0);
    const QList<int> delays = o.delays.value_or(QueueSettings().delays);
    MessageSend *current = nullptr;
    QTimer retryTimer;
    retryTimer.setSingleShot(true);
    bool stopping = false;
    std::function<void(int)> tryOnce = [&](int attempt) {
        current = new MessageSend(
            o.folder, o.target, *text, reporter, [] { return makeCallDriver(); }, qApp);
        current->setLineWait(o.waitMs);
        current->setDeviceAccess(deviceAccess(o));
        QObject::connect(current, &MessageSend::done, qApp, [&, attempt](const Outcome &outcome) {
            const QString sent = current->sentText().isEmpty() ? *text : current->sentText();
            const bool interrupted = current->interrupted();
            current->deleteLater();
            current = nullptr;
            if (outcome.status == ExitStatus::LineFailed && attempt <= attempts && !interrupted) {
                const int delay = sendqueue::retryDelay(delays, attempt);
                reporter.note(QStringLiteral("retry"),
                              QStringLiteral("%1 秒後にもう一度送ります（%2）。").arg(delay).arg(outcome.message),
                              {{QStringLiteral("attempt"), attempt}});
                QObject::disconnect(&retryTimer, nullptr, nullptr, nullptr);
                QObject::connect(&retryTimer, &QTimer::timeout, qApp, [&, attempt] { tryOnce(attempt + 1); });
                retryTimer.start(delay * 1000);
                return;
            }
            endWith(o, reporter, outcome, sent, attempt);
        });
        current->start();
    };
    onStop(qApp, [&] {
        if (stopping)
            return;
        stopping = true;
        if (current) {
            current->abort();
        } else if (retryTimer.isActive()) {
            retryTimer.stop();
            endWith(o, reporter, {ExitStatus::LineFailed, QStringLiteral("やり直しを待つ間に止めました。")}, *text,
                    attempts);
        }
    });
    QTimer::singleShot(0, qApp, [&] { tryOnce(1); });
    return QCoreApplication::exec();
}

int queueAdd(const Options &o, Reporter &reporter)
{
    if (o.mail)
        return queueMail(o, deviceAccess(o));
    const std::optional<QString> text = messageText(o, reporter);
    if (!text)
        return 2;
    auto queued = messageToQueue(o, o.target, *text, deviceAccess(o));
    if (auto *refusal = std::get_if<Outcome>(&queued)) {
        reporter.result(*refusal);
        return refusal->exitCode();
    }
    QueuedMessage &m = std::get<QueuedMessage>(queued);
    if (auto problem = sendqueue::add(o.folder, m)) {
        reporter.result({ExitStatus::BadInput, *problem});
        return 2;
    }
    if (o.json)
        reporter.note(QStringLiteral("queued"), QStringLiteral("キューに入れました: ") + m.id,
                      {{QStringLiteral("id"), m.id}});
    else
        std::fputs((m.id + QLatin1Char('\n')).toUtf8().constData(), stdout);
    return 0;
}

int queueRun(const Options &o, Reporter &reporter)
{
    QueueSettings settings = QueueSettings::load(o.folder);
    if (!o.onSent.isEmpty())
        settings.onSent = o.onSent;
    if (!o.onFailed.isEmpty())
        settings.onFailed = o.onFailed;
    if (o.attempts)
        settings.attempts = *o.attempts;
    if (o.delays)
        settings.delays = *o.delays;
    QueueRunner runner(o.folder, settings, reporter, [] { return makeCallDriver(); });
    runner.setDeviceAccess(deviceAccess(o));
    if (const std::optional<Outcome> refused = runner.start()) {
        reporter.result(*refused);
        return refused->exitCode();
    }
    onStop(qApp, [&runner] { runner.stop(); });
    QObject::connect(&runner, &QueueRunner::stopped, qApp, [] { QCoreApplication::exit(0); });
    return QCoreApplication::exec();
}

QString stateWord(const sendqueue::Entry &e, qint64 now)
{
    switch (e.state) {
    case sendqueue::State::Sending:
        return QStringLiteral("sending");
    case sendqueue::State::Failed:
        return QStringLiteral("failed");
    default:
        return e.message.notBefore > now ? QStringLiteral("retry") : QStringLiteral("queued");
    }
}

int queueList(const Options &o, Reporter &)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const sendqueue::Entry &e : sendqueue::list(o.folder)) {
        const QueuedMessage &m = e.message;
        const QString state = e.problem.isEmpty() ? stateWord(e, now) : QStringLiteral("damaged");
        const QString who = m.to.isEmpty() ? m.number : m.to;
        const QString next =
            m.notBefore > now ? QDateTime::fromMSecsSinceEpoch(m.notBefore).toString(Qt::ISODate) : QString();
        const QString why = e.problem.isEmpty() ? (m.failure.isEmpty() ? m.lastError : m.failure) : e.problem;
        QString line;
        if (o.json) {
            const QJsonObject obj{{QStringLiteral("id"), m.id},       {QStringLiteral("state"), state},
                                  {QStringLiteral("recipient"), who}, {QStringLiteral("center"), m.center},
                                  {QStringLiteral("tried"), m.tried}, {QStringLiteral("attempts"), m.attempts},
                                  {QStringLiteral("next"), next},     {QStringLiteral("reason"), why},
                                  {QStringLiteral("message"), m.text}};
            line = QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact));
        } else {
            QString preview = m.text.left(20);
            preview.replace(QLatin1Char('\n'), QLatin1Char(' '));
            line = QStringList{m.id,    state, QStringLiteral("%1/%2").arg(m.tried).arg(m.attempts + 1), next, who,
                               preview, why}
                       .join(QLatin1Char('\t'));
        }
        std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    }
    return 0;
}

int queueChange(const Options &o, Reporter &reporter)
{
    const bool retry = o.command == Options::Command::QueueRetry;
    const std::optional<QString> problem = retry ? sendqueue::retry(o.folder, o.id) : sendqueue::drop(o.folder, o.id);
    if (!problem)
        return 0;
    const bool busy = problem->contains(QStringLiteral("送信中"));
    reporter.result({busy ? ExitStatus::Busy : ExitStatus::BadInput, *problem});
    return busy ? 3 : 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fumidori-send"));
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1.%2").arg(FUMIDORI_VERSION_MAJOR).arg(FUMIDORI_VERSION_MINOR, 2, 10, QLatin1Char('0')));
    QString error;
    const std::optional<Options> options =
        parseOptions(QCoreApplication::arguments(), datafolder::forThisProgram(), &error);
    if (!options) {
        if (error.isEmpty())
            return 0;
        std::fputs((QStringLiteral("fumidori-send: ") + error + QLatin1Char('\n')).toUtf8().constData(), stderr);
        return 2;
    }
    Reporter reporter;
    reporter.quiet = options->quiet;
    reporter.json = options->json;
    switch (options->command) {
    case Options::Command::Send:
        return sendNow(*options, reporter);
    case Options::Command::QueueAdd:
        return queueAdd(*options, reporter);
    case Options::Command::QueueRun:
        return queueRun(*options, reporter);
    case Options::Command::QueueList:
        return queueList(*options, reporter);
    case Options::Command::QueueRetry:
    case Options::Command::QueueDrop:
        return queueChange(*options, reporter);
    }
    return 2;
}
