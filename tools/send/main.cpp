// fumidori-send: sends a message from a script, with no window, over the settings,
// address book and history the window uses; or queues it for "queue run".
#include "gateway/dedup.h"
#include "gateway/heartbeat.h"
#include "gateway/hooks.h"
#include "gateway/mailintake.h"
#include "gateway/messagesend.h"
#include "gateway/oncall.h"
#include "gateway/oncallwatch.h"
#include "gateway/pageclock.h"
#include "gateway/pages.h"
#include "gateway/queueadd.h"
#include "gateway/queueintake.h"
#include "gateway/queuerunner.h"
#include "gateway/snppintake.h"
#include "gateway/snppusers.h"
#include "store/datafolder.h"
#include "store/plugins.h"
#include "store/sendqueue.h"
#include "tools/send/holdprompt.h"
#include "tools/send/options.h"
#include "tools/send/report.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <termios.h>
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
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
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
// dropped. Unreadable input, or more than a message may hold, is reported; standard input
// is read no further than that.
// A driver whose sound-card question is asked on this process's terminal.
std::unique_ptr<CallDriver> terminalCallDriver()
{
    return makeCallDriver(nullptr, [] { return std::make_unique<HoldPrompt>(); });
}

std::optional<QString> messageText(const Options &o, Reporter &reporter)
{
    QString text = o.message;
    if (!o.messageGiven) {
        if (::isatty(STDIN_FILENO))
            std::fputs("fumidori-send: メッセージを入力し、Ctrl+D で終えてください。\n", stderr);
        // Up to the end of the input, or to the first byte past the limit (a pipe gives a
        // chunk at a time). Room for the line breaks at the end, which do not count.
        const qsizetype limit = sendqueue::MaxTextBytes + 1024;
        QByteArray bytes(limit + 1, Qt::Uninitialized);
        qsizetype got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(STDIN_FILENO, bytes.data() + got, size_t(bytes.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                reporter.result({Failure::Refused, QStringLiteral("標準入力を読めません。")});
                return std::nullopt;
            }
            if (n == 0)
                break;
            got += n;
        }
        bytes.truncate(got);
        if (got > limit) {
            reporter.result(
                {Failure::Refused, QStringLiteral("標準入力のメッセージが大きすぎます（UTF-8 で %1 バイトまで）。")
                                       .arg(sendqueue::MaxTextBytes)});
            return std::nullopt;
        }
        QStringDecoder utf8(QStringDecoder::Utf8);
        text = utf8.decode(bytes);
        if (utf8.hasError()) {
            reporter.result({Failure::Refused, QStringLiteral("標準入力が UTF-8 ではありません。")});
            return std::nullopt;
        }
    }
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    if (const QString problem = sendqueue::textSizeProblem(text); !problem.isEmpty()) {
        reporter.result({Failure::Refused, problem + u'。'});
        return std::nullopt;
    }
    return text;
}

// What the device kinds that need a person or a secret may have here.
DeviceAccess deviceAccess(const Options &o)
{
    // A prompt can be asked where the process has a terminal, whatever its input is.
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty >= 0)
        ::close(tty);
    DeviceAccess access;
    access.onTerminal = tty >= 0 || ::isatty(STDIN_FILENO);
    access.sipPasswordFile = o.sipPasswordFile;
    access.sipPassword = o.sipPassword;
    if (o.answerLimitS)
        access.answerLimitMs = qint64(*o.answerLimitS) * 1000;
    access.trace = o.trace;
    return access;
}

// After the outcome: the hook of the outcome, then the end with its exit status. The
// hook, while one runs.
QPointer<Hook> endWith(const Options &o, Reporter &reporter, const Outcome &outcome, const QString &text, int attempt)
{
    reporter.result(outcome, {{QStringLiteral("attempt"), attempt}});
    const QString hook = outcome.sent() ? o.onSent : o.onFailed;
    const int code = outcome.exitCode();
    if (hook.isEmpty()) {
        QCoreApplication::exit(code);
        return nullptr;
    }
    auto *run = new Hook(hook, {outcome, text, attempt, {}, {}, {}}, reporter, Hook::DefaultTimeoutMs, qApp);
    QObject::connect(run, &Hook::finished, [code] { QCoreApplication::exit(code); });
    run->start();
    return run;
}

int sendNow(const Options &o, Reporter &reporter)
{
    const std::optional<QString> text = messageText(o, reporter);
    if (!text)
        return 2;
    const int attempts = o.attempts.value_or(0);
    RetriedSend send(
        [&](QObject *parent) {
            auto *one = new MessageSend(o.folder, o.target, *text, reporter, terminalCallDriver, parent);
            one->setLineWait(o.waitMs);
            one->setDeviceAccess(deviceAccess(o));
            return one;
        },
        *text, attempts, o.delays.value_or(QueueSettings().delays), reporter);
    QPointer<Hook> hook;
    QObject::connect(&send, &RetriedSend::finished, qApp,
                     [&](const Outcome &outcome, const QString &sent, int attempt) {
                         hook = endWith(o, reporter, outcome, sent, attempt);
                     });
    QObject scope; // the stop signals' handler goes with this send
    onStop(&scope, [&] {
        if (hook) // the outcome is told already: the hook goes, with what it started
            hook->stop();
        else
            send.stop();
    });
    QTimer::singleShot(0, qApp, [&] { send.start(); });
    return QCoreApplication::exec();
}

// A send to a group or a rota: to each person it reaches now, in turn; the first failure's
// exit status, or 0. An escalation is refused: only the runner can wait for its steps.
int sendToEach(const Options &o, Reporter &reporter)
{
    AppData data;
    if (o.target.to.isEmpty() || loadFolder(o.folder, data))
        return sendNow(o, reporter); // its own checks tell what is wrong
    auto expanded = expandBatch(o.folder, {{o.target, {}}}, data, QDateTime::currentSecsSinceEpoch());
    if (auto *refusal = std::get_if<BatchRefusal>(&expanded)) {
        reporter.result(refusal->outcome);
        return refusal->outcome.exitCode();
    }
    const QList<BatchMessage> &people = std::get<QList<BatchMessage>>(expanded);
    if (people.size() == 1 && people.first().target.to == o.target.to)
        return sendNow(o, reporter);
    const std::optional<QString> text = messageText(o, reporter);
    if (!text)
        return 2;
    int first = 0;
    for (const BatchMessage &person : people) {
        Options one = o;
        one.target = person.target;
        one.message = *text;
        one.messageGiven = true;
        reporter.note(QStringLiteral("person"),
                      QStringLiteral("%1 に送ります（%2）。").arg(person.target.to, person.why),
                      {{QStringLiteral("to"), person.target.to}, {QStringLiteral("why"), person.why}});
        const int code = sendNow(one, reporter);
        if (first == 0)
            first = code;
    }
    return first;
}

// oncall.ini of the folder, with the book's names; nullopt after telling why not.
std::optional<OnCall> loadOnCall(const QString &folder, Reporter &reporter)
{
    AppData data;
    if (std::optional<Outcome> problem = loadFolder(folder, data)) {
        reporter.result(*problem);
        return std::nullopt;
    }
    OnCall oncall = OnCall::load(folder, data);
    for (const QString &problem : oncall.problems())
        reporter.warn(QStringLiteral("oncall"), problem);
    if (!oncall.ok()) {
        reporter.result({Failure::Refused, oncall.error()});
        return std::nullopt;
    }
    return oncall;
}

// queue add --to ESCALATION: the page started, its first step queued, its id printed; the
// exit status. nullopt when the name is no escalation.
std::optional<int> pageEscalation(const Options &o, const QString &text, Reporter &reporter)
{
    AppData data;
    if (o.target.to.isEmpty() || loadFolder(o.folder, data) ||
        std::any_of(data.recipients.cbegin(), data.recipients.cend(),
                    [&](const Recipient &r) { return r.name == o.target.to; }))
        return std::nullopt;
    const std::optional<OnCall> oncall = loadOnCall(o.folder, reporter);
    if (!oncall || oncall->kindOf(o.target.to) != OnCall::Kind::Escalation)
        return std::nullopt;
    const auto started =
        pages::start(o.folder, *oncall, o.target.to, text, o.severity, QDateTime::currentSecsSinceEpoch(),
                     pages::stepQueuer(o.folder, deviceAccess(o), queueDefaults(o), oncall->ackSuffix()));
    if (const auto *problem = std::get_if<QString>(&started)) {
        reporter.result({Failure::Refused, *problem, o.target.to});
        return 2;
    }
    const PageState &p = std::get<PageState>(started);
    if (o.json)
        reporter.note(QStringLiteral("queued"), QStringLiteral("ページを始めました: ") + p.id,
                      {{QStringLiteral("id"), p.id}, {QStringLiteral("ack"), p.ack}});
    else
        std::fputs((p.id + QLatin1Char('\n')).toUtf8().constData(), stdout);
    return 0;
}

// queue ack ID: the page acknowledged (its steps still to come stopped, its messages still
// waiting dropped).
int queueAck(const Options &o, Reporter &reporter)
{
    if (o.mail) {
        MailDelivery d{o.folder, {}, {}, {o.mailSender, o.mailRecipient}, o.quiet};
        d.ack = true;
        return queueMail(d, deviceAccess(o));
    }
    const auto acked =
        pages::acknowledge(o.folder, o.id, QStringLiteral("queue ack"), QDateTime::currentSecsSinceEpoch());
    if (const auto *problem = std::get_if<QString>(&acked)) {
        reporter.result({Failure::Refused, *problem});
        return 2;
    }
    const PageState &p = std::get<PageState>(acked);
    reporter.note(QStringLiteral("page"), QStringLiteral("ページ %1: %2").arg(p.id, p.word()),
                  {{QStringLiteral("page"), p.id}, {QStringLiteral("state"), p.word()}});
    return 0;
}

// A message queue add turns away is one that will never be sent: told, and handed to
// --on-failed as a refused direct send is, so that the script's one hook hears of it.
int refuseAdd(const Options &o, Reporter &reporter, Outcome outcome, const QString &text)
{
    if (o.onFailed.isEmpty()) {
        reporter.result(outcome);
        return outcome.exitCode();
    }
    if (outcome.recipient.isEmpty())
        outcome.recipient = o.target.to.isEmpty() ? o.target.number : o.target.to;
    if (outcome.center.isEmpty())
        outcome.center = o.target.center;
    endWith(o, reporter, outcome, text, 0); // no try was made
    return QCoreApplication::exec();
}

// queue heartbeat NAME: a beat of oncall.ini's [Heartbeat NAME]; with --mail, from a mail.
int queueHeartbeat(const Options &o, Reporter &reporter)
{
    if (o.mail) {
        MailDelivery d{o.folder, {}, {}, {o.mailSender, o.mailRecipient}, o.quiet};
        d.heartbeat = o.id;
        return queueMail(d, deviceAccess(o));
    }
    const std::optional<OnCall> oncall = loadOnCall(o.folder, reporter);
    if (!oncall)
        return 2;
    if (!oncall->heartbeats().contains(o.id)) {
        reporter.result({Failure::Refused, QStringLiteral("oncall.ini に [Heartbeat %1] がありません。").arg(o.id)});
        return 2;
    }
    if (const QString problem = heartbeats::beat(o.folder, o.id, QDateTime::currentMSecsSinceEpoch());
        !problem.isEmpty()) {
        reporter.result({Failure::Refused, problem});
        return 2;
    }
    return 0;
}

int queueAdd(const Options &o, Reporter &reporter)
{
    if (o.mail)
        return queueMail({o.folder, o.target.to, queueDefaults(o), {o.mailSender, o.mailRecipient}, o.quiet},
                         deviceAccess(o));
    const std::optional<QString> text = messageText(o, reporter);
    if (!text)
        return 2;
    if (std::optional<int> code = pageEscalation(o, *text, reporter))
        return *code;
    const BatchResult added =
        addBatch(o.folder, {{o.target, *text, TextFit::Refuse, {}, o.severity}}, deviceAccess(o), queueDefaults(o));
    if (added.refusal)
        return refuseAdd(o, reporter, added.refusal->outcome, *text);
    if (!added.notStored.isEmpty())
        return refuseAdd(o, reporter, {Failure::Refused, added.notStored}, *text);
    const QString id = added.ids.value(0);
    if (!added.repeats.isEmpty())
        reporter.note(
            QStringLiteral("duplicate"),
            QStringLiteral("同じ宛先に同じ文面を %1 として受け付けたばかりなので、もう一度は送りません。").arg(id),
            {{QStringLiteral("id"), id}});
    else if (o.json)
        reporter.note(
            QStringLiteral("queued"), QStringLiteral("キューに入れました: ") + id,
            {{QStringLiteral("id"), id}, {QStringLiteral("messages"), QJsonArray::fromStringList(added.ids)}});
    if (!o.json)
        std::fputs((id + QLatin1Char('\n')).toUtf8().constData(), stdout);
    return 0;
}

// A listen address only this machine reaches (127.0.0.0/8, ::1).
bool loopback(const QString &address)
{
    return address == QLatin1String("::1") || address.startsWith(QLatin1String("127."));
}

// The HTTP listener of queue run from its plugin, serving intake; nullptr after telling why not.
Listener *startListener(const QueueSettings &settings, const QString &folder, QueueIntake &intake, Reporter &reporter)
{
    const auto where = parseListen(settings.listen);
    if (!where) {
        reporter.result({Failure::Refused,
                         QStringLiteral("Listen=%1 は 127.0.0.1:8025 や [::1]:8025 のように、アドレスとポートで指定して"
                                        "ください。")
                             .arg(settings.listen)});
        return nullptr;
    }
    QString problem;
    const std::optional<QByteArray> token = listenerToken(settings.tokenFile, folder, &problem);
    if (!token) {
        reporter.result({Failure::Refused, problem});
        return nullptr;
    }
    QStringList problems;
    auto *listener = qobject_cast<Listener *>(loadPlugin(QStringLiteral("fumidori-http.so"), &problems));
    if (!listener) {
        reporter.result({Failure::Refused, QStringLiteral("HTTP の受け付けを始められません：") +
                                               pluginProblem(QStringLiteral("fumidori-http.so"), problems)});
        return nullptr;
    }
    ListenerSettings s;
    s.address = where->first;
    s.port = where->second;
    s.token = *token;
    s.alertTemplate = settings.alertTemplate;
    if (const QString error = listener->start(s, &intake); !error.isEmpty()) {
        reporter.result({Failure::Refused, error});
        return nullptr;
    }
    if (!loopback(s.address))
        reporter.warn(QStringLiteral("http"),
                      QStringLiteral("HTTP を %1 で受け付けます。このマシンの外からも届き、トークンは暗号化されずに"
                                     "流れます。信頼できるネットワークだけに開くか、TLS のリバースプロキシを前に"
                                     "置いてください。")
                          .arg(s.address));
    reporter.note(QStringLiteral("listening"),
                  QStringLiteral("%1 ポート %2 で HTTP の受け付けを始めました。").arg(s.address).arg(listener->port()),
                  {{QStringLiteral("address"), s.address}, {QStringLiteral("port"), listener->port()}});
    return listener;
}

// The SNPP listener of queue run from its plugin, serving desk; nullptr after telling why not.
SnppListener *startSnpp(const QueueSettings &settings, SnppIntake &desk, Reporter &reporter)
{
    const auto where = parseListen(settings.snpp);
    QStringList problems;
    auto *listener = qobject_cast<SnppListener *>(loadPlugin(QStringLiteral("fumidori-snpp.so"), &problems));
    if (!where || !listener) {
        reporter.result({Failure::Refused,
                         !where ? QStringLiteral("Snpp=%1 は 127.0.0.1:4444 や [::1]:4444 のように、アドレスとポートで"
                                                 "指定してください。")
                                      .arg(settings.snpp)
                                : QStringLiteral("SNPP の受け付けを始められません：") +
                                      pluginProblem(QStringLiteral("fumidori-snpp.so"), problems)});
        return nullptr;
    }
    // A users file no login could use is told now, not found out by a client's 550.
    QString problem;
    if (!snppusers::read(desk.folder() + QLatin1String(snppusers::FileName), &problem))
        reporter.warn(QStringLiteral("snpp-users"), problem);
    SnppSettings s;
    s.address = where->first;
    s.port = where->second;
    s.allowed = settings.snppAllow;
    if (const QString error = listener->start(s, &desk); !error.isEmpty()) {
        reporter.result({Failure::Refused, error});
        return nullptr;
    }
    if (!loopback(s.address))
        reporter.warn(QStringLiteral("snpp"),
                      QStringLiteral("SNPP を %1 で受け付けます。LOGI のパスワードは暗号化されずに流れます。"
                                     "信頼できるネットワークだけに開いてください。")
                          .arg(s.address));
    reporter.note(QStringLiteral("listening"),
                  QStringLiteral("%1 ポート %2 で SNPP の受け付けを始めました。").arg(s.address).arg(listener->port()),
                  {{QStringLiteral("address"), s.address},
                   {QStringLiteral("port"), listener->port()},
                   {QStringLiteral("protocol"), QStringLiteral("snpp")}});
    return listener;
}

// One line of standard input, without echo on a terminal (asked twice there).
std::optional<QByteArray> readPassword(QString *problem)
{
    const bool terminal = ::isatty(STDIN_FILENO);
    termios saved = {};
    const auto line = [&](const char *prompt) {
        if (terminal)
            std::fputs(prompt, stderr);
        QByteArray bytes;
        for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
            bytes += char(c);
        if (terminal)
            std::fputs("\n", stderr);
        return bytes.endsWith('\r') ? bytes.chopped(1) : bytes;
    };
    if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const QByteArray password = line("パスワード: ");
    const QByteArray again = terminal ? line("もう一度: ") : password;
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (password.isEmpty() || password != again) {
        *problem = password.isEmpty() ? QStringLiteral("パスワードが空です（標準入力の 1 行目）。")
                                      : QStringLiteral("2 回のパスワードが違います。");
        return std::nullopt;
    }
    return password;
}

int snppUserAdd(const Options &o, Reporter &reporter)
{
    QString problem = snppusers::nameProblem(o.id);
    const QString path = o.folder + QLatin1String(snppusers::FileName);
    const std::optional<QByteArray> contents = problem.isEmpty() ? snppusers::read(path, &problem) : std::nullopt;
    const std::optional<QByteArray> password = contents ? readPassword(&problem) : std::nullopt;
    const QByteArray hash = password ? snppusers::hash(*password) : QByteArray();
    if (password && hash.isEmpty())
        problem = QStringLiteral("パスワードのハッシュを作れません（libcrypt）。");
    if (hash.isEmpty() || !(problem = writePrivateFile(path, snppusers::withUser(*contents, o.id, hash))).isEmpty()) {
        reporter.result({Failure::Refused, problem});
        return 2;
    }
    return 0;
}

int queueRun(const Options &o, Reporter &reporter)
{
    QStringList problems;
    QueueSettings settings = QueueSettings::load(o.folder, &problems);
    for (const QString &problem : problems)
        reporter.warn(QStringLiteral("settings"), problem);
    if (!o.onSent.isEmpty())
        settings.onSent = o.onSent;
    if (!o.onFailed.isEmpty())
        settings.onFailed = o.onFailed;
    if (!o.onLineDown.isEmpty())
        settings.onLineDown = o.onLineDown;
    if (!o.onLineUp.isEmpty())
        settings.onLineUp = o.onLineUp;
    if (o.attempts)
        settings.attempts = *o.attempts;
    if (o.delays)
        settings.delays = *o.delays;
    if (!o.listen.isEmpty())
        settings.listen = o.listen;
    if (!o.tokenFile.isEmpty())
        settings.tokenFile = o.tokenFile;
    if (!o.snpp.isEmpty())
        settings.snpp = o.snpp;
    QueueRunner runner(o.folder, settings, reporter, terminalCallDriver);
    DeviceAccess access = deviceAccess(o);
    if (!o.answerLimitS && settings.answerLimitS)
        access.answerLimitMs = qint64(*settings.answerLimitS) * 1000;
    runner.setDeviceAccess(access);
    if (const std::optional<Outcome> refused = runner.start()) {
        reporter.result(*refused);
        return refused->exitCode();
    }
    // oncall.ini read again as it changes, the last good copy kept in use.
    OnCallWatch oncall(o.folder, reporter, RunnerClock::system());
    oncall.start();
    // The steps of escalations as they come due, with the suffix oncall.ini gives now.
    QueuedMessage stepDefaults;
    stepDefaults.attempts = settings.attempts;
    stepDefaults.delays = settings.delays;
    PageClock clock(
        o.folder,
        [&](const PageState &p, const OnCall::DueStep &step) {
            const OnCall now = OnCall::load(o.folder, QStringList());
            const QString suffix = now.ok() ? now.ackSuffix() : QString::fromLatin1(OnCall::DefaultAckSuffix);
            return pages::stepQueuer(o.folder, access, stepDefaults, suffix)(p, step);
        },
        reporter, RunnerClock::system());
    clock.start();
    // Heartbeats: oncall.ini read again when the data folder changes.
    QueuedMessage alertDefaults;
    alertDefaults.attempts = settings.attempts;
    HeartbeatWatch heartbeats(
        o.folder,
        [&] {
            AppData data;
            if (loadFolder(o.folder, data))
                data = AppData{};
            const OnCall oncall = OnCall::load(o.folder, data);
            return oncall.ok() ? std::optional(oncall.heartbeats().values()) : std::nullopt;
        },
        heartbeats::pager(o.folder, access, alertDefaults), reporter, RunnerClock::system());
    heartbeats.start();
    std::unique_ptr<QueueIntake> intake;
    Listener *listener = nullptr;
    if (!settings.listen.isEmpty()) {
        QueuedMessage defaults;
        defaults.attempts = settings.attempts;
        intake = std::make_unique<QueueIntake>(o.folder, runner.lineNames(), deviceAccess(o), defaults);
        intake->setOnCallProblem(oncall.problem());
        QObject::connect(&oncall, &OnCallWatch::reread, qApp,
                         [&intake](const QString &problem) { intake->setOnCallProblem(problem); });
        QObject::connect(&runner, &QueueRunner::tried, qApp,
                         [&intake](const QString &id, const Outcome &outcome, int, const QString &line) {
                             intake->callEnded(id, outcome, line);
                         });
        QObject::connect(&runner, &QueueRunner::calling, qApp,
                         [&intake](const QString &id, const QString &line) { intake->calling(id, line); });
        QObject::connect(&runner, &QueueRunner::lineChanged, qApp,
                         [&intake](const QString &line, bool up) { intake->lineChanged(line, up); });
        intake->setChecked(runner.checkedLines());
        QObject::connect(&runner, &QueueRunner::checked, qApp, [&intake](const QString &line, const Outcome &outcome) {
            intake->lineChecked(line, outcome.sent(), QDateTime::currentMSecsSinceEpoch());
        });
        QObject::connect(
            &runner, &QueueRunner::settled, qApp,
            [&intake](const QString &id, bool sent, const QString &reason) { intake->settled(id, sent, reason); });
        listener = startListener(settings, o.folder, *intake, reporter);
        if (!listener)
            return 2;
        intake->setInService(true);
    }
    std::unique_ptr<SnppIntake> desk;
    SnppListener *snpp = nullptr;
    if (!settings.snpp.isEmpty()) {
        QueuedMessage defaults;
        defaults.attempts = settings.attempts;
        desk = std::make_unique<SnppIntake>(o.folder, deviceAccess(o), defaults, settings.snppCenter);
        snpp = startSnpp(settings, *desk, reporter);
        if (!snpp) {
            if (listener)
                listener->stop();
            return 2;
        }
    }
    onStop(qApp, [&runner, &listener, &snpp] {
        if (listener) // no new message from here on; the one under way goes on
            listener->stop();
        if (snpp)
            snpp->stop();
        runner.stop();
    });
    QObject::connect(&runner, &QueueRunner::stopped, qApp, [] { QCoreApplication::exit(0); });
    const int code = QCoreApplication::exec();
    if (listener) // before the intake it calls goes
        listener->stop();
    if (snpp)
        snpp->stop();
    return code;
}

QString stateWord(const sendqueue::Entry &e, qint64 now)
{
    switch (e.state) {
    case sendqueue::State::Sending:
        return QStringLiteral("sending");
    case sendqueue::State::Failed:
        return QStringLiteral("failed");
    case sendqueue::State::Waiting:
        break;
    }
    return e.message.notBefore > now ? QStringLiteral("retry") : QStringLiteral("waiting");
}

// A user's login name (his number when he has none).
QString userName(uint uid)
{
    const passwd *pw = ::getpwuid(uid);
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(uid);
}

// Every entry, odd ones included: one in queue/ or work/ that can never be sent is
// "damaged" (the runner sets it aside), one in failed/ is "failed", with the reason. A
// file of another user's (the gateway's, listed by root) is left unread and shown as his.
void printRow(const QString &row)
{
    std::fputs((row + QLatin1Char('\n')).toUtf8().constData(), stdout);
}

// A row of fields apart by tabs, each printed with its control characters (a tab among
// them) escaped: what others wrote keeps to its column and never drives the terminal.
void printFields(const QStringList &fields)
{
    QStringList shown;
    for (const QString &field : fields)
        shown << sendqueue::escaped(field);
    printRow(shown.join(u'\t'));
}

// The lines of the runner as it last told them (stopped, all of them, when no runner
// holds the folder now); the line each message is being sent on, by id.
QHash<QString, QString> listLines(const Options &o)
{
    QHash<QString, QString> lineOf;
    const std::optional<QJsonObject> status = linestatus::read(o.folder);
    if (!status)
        return lineOf;
    const bool running = status->value(QStringLiteral("running")).toBool() && sendqueue::RunnerLock(o.folder).heldNow();
    for (const QJsonValue &value : status->value(QStringLiteral("lines")).toArray()) {
        const QJsonObject line = value.toObject();
        const QString name = line.value(QStringLiteral("name")).toString();
        const QString message = running ? line.value(QStringLiteral("message")).toString() : QString();
        const QString state = running ? line.value(QStringLiteral("state")).toString() : QStringLiteral("stopped");
        const QString until = running ? line.value(QStringLiteral("until")).toString() : QString();
        const QString reason = line.value(QStringLiteral("reason")).toString();
        if (!message.isEmpty())
            lineOf.insert(message, name);
        if (o.json)
            printRow(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("line"), name},
                                                                 {QStringLiteral("state"), state},
                                                                 {QStringLiteral("message"), message},
                                                                 {QStringLiteral("until"), until},
                                                                 {QStringLiteral("reason"), reason}})
                                           .toJson(QJsonDocument::Compact)));
        else
            printFields({QStringLiteral("line"), name, state, message, until, reason});
    }
    return lineOf;
}

// The pages to escalations, oldest first: the steps queued of all, whether acknowledged
// (or resolved, or every step sent without an answer), by whom, and when the next step is due.
void listPages(const Options &o)
{
    QList<PageState> all = pages::all(o.folder);
    std::sort(all.begin(), all.end(), [](const PageState &a, const PageState &b) { return a.started < b.started; });
    for (const PageState &p : std::as_const(all)) {
        const auto due = p.nextDue();
        const QString next = due ? QDateTime::fromSecsSinceEpoch(*due).toString(Qt::ISODate) : QString();
        if (o.json)
            printRow(QString::fromUtf8(
                QJsonDocument(QJsonObject{{QStringLiteral("page"), p.id},
                                          {QStringLiteral("escalation"), p.escalation},
                                          {QStringLiteral("state"), p.word()},
                                          {QStringLiteral("step"), p.queued},
                                          {QStringLiteral("steps"), int(p.steps.size())},
                                          {QStringLiteral("next"), next},
                                          {QStringLiteral("by"), p.by},
                                          {QStringLiteral("people"), QJsonArray::fromStringList(p.people)}})
                    .toJson(QJsonDocument::Compact)));
        else
            printRow(QStringList{QStringLiteral("page"), p.id, p.escalation, p.word(),
                                 QStringLiteral("%1/%2").arg(p.queued).arg(p.steps.size()), next, p.by}
                         .join(u'\t'));
    }
}

int queueList(const Options &o, Reporter &reporter)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // Only the folder's owner reads its queue; anyone else is told whom to list it as.
    if (const QFileInfo queue(sendqueue::queueFolder(o.folder)); queue.exists() && queue.ownerId() != ::geteuid()) {
        const QString owner = userName(queue.ownerId());
        reporter.warn(QStringLiteral("owner"),
                      QStringLiteral("このキューは %1（uid %2）のもので、そのファイルは読まずに示します。その人として"
                                     "一覧してください: sudo -u %1 fumidori-send --folder %3 queue list")
                          .arg(owner)
                          .arg(queue.ownerId())
                          .arg(o.folder));
    }
    const QHash<QString, QString> lineOf = listLines(o);
    listPages(o);
    if (const quint64 repeats = DedupIndex::load(o.folder).suppressed; repeats > 0)
        printRow(o.json ? QStringLiteral(R"({"suppressed":"duplicate","count":%1})").arg(repeats)
                        : QStringLiteral("suppressed\tduplicate\t%1").arg(repeats));
    for (const sendqueue::Entry &e : sendqueue::list(o.folder)) {
        const QueuedMessage &m = e.message;
        const QString state = e.problem.isEmpty() || e.state == sendqueue::State::Failed ? stateWord(e, now)
                              : e.otherOwner                                             ? QStringLiteral("other-user")
                                                                                         : QStringLiteral("damaged");
        const QString who = m.to.isEmpty() ? m.number : m.to;
        const QString next =
            m.notBefore > now ? QDateTime::fromMSecsSinceEpoch(m.notBefore).toString(Qt::ISODate) : QString();
        const QString why = !e.problem.isEmpty() && e.otherOwner
                                ? QStringLiteral("%1（uid %2）のファイルです（読まずに示します）")
                                      .arg(userName(*e.otherOwner))
                                      .arg(*e.otherOwner)
                            : e.problem.isEmpty() ? (m.failure.isEmpty() ? m.lastError : m.failure)
                                                  : e.problem;
        QString line;
        if (o.json) {
            const QJsonObject obj{{QStringLiteral("id"), e.id},        {QStringLiteral("state"), state},
                                  {QStringLiteral("recipient"), who},  {QStringLiteral("center"), m.center},
                                  {QStringLiteral("tried"), m.tried},  {QStringLiteral("attempts"), m.attempts},
                                  {QStringLiteral("next"), next},      {QStringLiteral("reason"), why},
                                  {QStringLiteral("message"), m.text}, {QStringLiteral("line"), lineOf.value(e.id)},
                                  {QStringLiteral("page"), m.page},    {QStringLiteral("why"), m.why}};
            line = QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact));
        } else {
            QString preview = m.text.left(20);
            preview.replace(QLatin1Char('\n'), QLatin1Char(' '));
            printFields({e.id, state,
                         // (nothing known of the tries of a file left unread)
                         e.problem.isEmpty() ? QStringLiteral("%1/%2").arg(m.tried).arg(m.attempts + 1) : QString(),
                         next, who, preview, why, lineOf.value(e.id)});
            continue;
        }
        printRow(line);
    }
    return 0;
}

int queueChange(const Options &o, Reporter &reporter)
{
    const bool retry = o.command == Options::Command::QueueRetry;
    const sendqueue::Result r = retry ? sendqueue::retry(o.folder, o.id) : sendqueue::drop(o.folder, o.id);
    if (r.ok())
        return 0;
    const Outcome outcome{r.kind == sendqueue::Result::Kind::BeingSent ? Failure::Held : Failure::Refused, r.text};
    reporter.result(outcome);
    return outcome.exitCode();
}

// Who is on duty for each rota (or whom the name reaches) now or at --at: one row each,
// "ROTA<TAB>PERSON<TAB>HOW".
int queueOnCall(const Options &o, Reporter &reporter)
{
    const std::optional<OnCall> loaded = loadOnCall(o.folder, reporter);
    if (!loaded)
        return 2;
    const OnCall &oncall = *loaded;
    const QStringList names = o.id.isEmpty() ? oncall.rotaNames() : QStringList{o.id};
    if (!o.id.isEmpty() && oncall.kindOf(o.id) == OnCall::Kind::Unknown) {
        reporter.result(
            {Failure::Refused, QStringLiteral("「%1」はアドレス帳にも oncall.ini にもない名前です。").arg(o.id)});
        return 2;
    }
    QDateTime when = o.at.isEmpty() ? QDateTime::currentDateTime() : QDateTime::fromString(o.at, Qt::ISODate);
    if (!o.at.isEmpty() && when.timeSpec() == Qt::LocalTime) // a wall time of the gateway's zone
        when.setTimeZone(oncall.zone());
    const qint64 at = when.toSecsSinceEpoch();
    for (const QString &name : names) {
        if (const OnCall::Escalation *e = oncall.escalation(name)) {
            for (const OnCall::DueStep &step : OnCall::schedule(*e))
                for (const OnCall::Reached &r : oncall.expand(step.name, at))
                    printRow(o.json ? QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("name"), name},
                                                                                  {QStringLiteral("step"), step.step},
                                                                                  {QStringLiteral("delay"), step.delay},
                                                                                  {QStringLiteral("person"), r.person},
                                                                                  {QStringLiteral("why"), r.why}})
                                                            .toJson(QJsonDocument::Compact))
                                    : QStringList{name, QStringLiteral("Step%1+%2s").arg(step.step).arg(step.delay),
                                                  r.person, r.why}
                                          .join(QLatin1Char('\t')));
            continue;
        }
        for (const OnCall::Reached &r : oncall.expand(name, at))
            printRow(o.json ? QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("name"), name},
                                                                          {QStringLiteral("person"), r.person},
                                                                          {QStringLiteral("why"), r.why}})
                                                    .toJson(QJsonDocument::Compact))
                            : QStringList{name, r.person, r.why}.join(QLatin1Char('\t')));
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fumidori-send"));
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1.%2").arg(FUMIDORI_VERSION_MAJOR).arg(FUMIDORI_VERSION_MINOR, 2, 10, QLatin1Char('0')));
    QString error;
    // The default folder is made only when it is the one used: --folder makes no other.
    const QString defaultFolder = datafolder::locate();
    const std::optional<Options> options = parseOptions(QCoreApplication::arguments(), defaultFolder, &error);
    if (options && QDir(options->folder) == QDir(defaultFolder))
        datafolder::forThisProgram();
    if (!options) {
        if (error.isEmpty())
            return 0;
        std::fputs((QStringLiteral("fumidori-send: ") + sendqueue::escaped(error, true) + QLatin1Char('\n'))
                       .toUtf8()
                       .constData(),
                   stderr);
        return 2;
    }
    // A file over the size limit (ulimit -f) is a write that fails, reported, not the end.
    ::signal(SIGXFSZ, SIG_IGN);
    TerminalReporter reporter;
    reporter.quiet = options->quiet;
    reporter.json = options->json;
    switch (options->command) {
    case Options::Command::Send:
        return sendToEach(*options, reporter);
    case Options::Command::QueueAdd:
        return queueAdd(*options, reporter);
    case Options::Command::QueueRun:
        return queueRun(*options, reporter);
    case Options::Command::QueueList:
        return queueList(*options, reporter);
    case Options::Command::QueueRetry:
    case Options::Command::QueueDrop:
        return queueChange(*options, reporter);
    case Options::Command::QueueOnCall:
        return queueOnCall(*options, reporter);
    case Options::Command::QueueAck:
        return queueAck(*options, reporter);
    case Options::Command::QueueHeartbeat:
        return queueHeartbeat(*options, reporter);
    case Options::Command::SnppUserAdd:
        return snppUserAdd(*options, reporter);
    }
    return 2;
}
