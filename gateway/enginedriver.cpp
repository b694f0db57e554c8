#include "gateway/calldriver.h"

#include "modem/comport.h"
#include "modem/devicekind.h"
#include "modem/line.h"
#include "modem/linelog.h"
#include "modem/sendengine.h"
#include "modem/stagetexts.h"
#include "store/apperror.h"
#include "store/passwordstore.h"

#include <QTimer>

#include <unistd.h>

namespace
{

// The account's password read before the call, handed to the line as the keyring would.
class GivenPassword : public PasswordStore
{
public:
    QString password;
    void readPassword(const QString &, std::function<void(QString, QString)> done) override { done(password, {}); }
    void writePassword(const QString &, const QString &, std::function<void(QString)> done) override { done({}); }
};

// The send engine in its unattended mode, with a front end that relays what happens:
// the engine goes from stage to stage and tells the outcome; the driver turns its
// events into the sender's reports. The line's lock is the sender's: the driver opens
// the port itself.
class EngineDriver : public CallDriver, public SendFrontEnd
{
public:
    EngineDriver(QObject *parent, HoldQuestions questions) : CallDriver(parent), m_questions(std::move(questions)) {}
    ~EngineDriver() override
    {
        if (m_engine)
            m_engine->hangUpForExit();
    }

    void start(const CallRequest &request) override
    {
        setUp(request);
        m_engine = std::make_unique<SendEngine>(m_data, *m_lines, *this);
        m_engine->setUnattended(request.answerLimitMs);
        m_engine->send();
    }

    void check(const CallRequest &request) override
    {
        setUp(request);
        Line &line = m_lines->line(m_data.settings.ModemKind);
        const IdleCheck kind = deviceRules(m_data.settings.ModemKind).check;
        const bool at = kind == IdleCheck::At || kind == IdleCheck::AtRegistered;
        line.setAnswerLimit(at ? qMin(request.answerLimitMs, AtCheckAnswerMs) : request.answerLimitMs);
        m_checking = &line;
        runCheck(line);
    }

    void setUp(const CallRequest &request)
    {
        m_data.folder = request.folder;
        m_data.settings = request.settings;
        m_data.centers = {request.center};
        m_data.recipients = {Recipient{QString(), 0, request.number}};
        m_text = request.text;
        m_password.password = request.sipPassword;
        m_log = std::make_unique<LineLog>(request.folder);
        if (request.trace)
            m_log->setTrace(STDERR_FILENO);
        m_port = std::make_unique<ComPort>(request.folder);
        m_port->setDevice(request.device);
        m_lines = std::make_unique<KindLines>(
            LineParts{m_data.settings, m_waiter, *m_port, &m_password, this, m_log.get(), request.folder});
    }

    QCoro::Task<> runCheck(Line &line)
    {
        Failure failure = Failure::None;
        QString message;
        try {
            co_await line.check();
        } catch (const AppError &error) {
            failure = error.failure();
            message = error.description();
        }
        if (m_aborted)
            failure = Failure::Stopped, message = QStringLiteral("止められたため、確認をやめました。");
        finish(failure, message);
    }

    void abort() override
    {
        if (m_checking && !std::exchange(m_aborted, true)) {
            m_checking->hangUp();
            return;
        }
        if (m_engine && !m_done)
            m_engine->abandon(QStringLiteral("止められたため、回線を切りました。"));
    }

    int selectedCenter() const override { return 0; }
    int selectedRecipient() const override { return 0; }
    QString mailText() const override { return m_text; }
    void stageStarted(SendStage stage) override
    {
        emit stageChanged(stagetexts::name(stage), stagetexts::running(stage));
    }
    void nextStage(SendStage, bool) override {}
    void stageFinished() override {}
    void sendAgainAllowed(bool) override {}
    void waitingForNextStage() override {}
    void progress(Progress mark, int remaining, int total) override
    {
        if (mark == Progress::Piece)
            emit CallDriver::progress(remaining, total);
    }
    void lineStatus(LineStatus status) override
    {
        emit stageChanged(status == LineStatus::Dropped ? QStringLiteral("dropped") : QStringLiteral("hungup"),
                          stagetexts::lineStatus(status));
    }
    void callEnded() override
    {
        if (m_prompt)
            m_prompt->cancel();
    }
    // Asked on the terminal (the registry lets only such a kind ask where there is one).
    void askToHoldPhone(std::function<void(bool playNumber)> answer) override
    {
        if (!m_prompt && m_questions) {
            m_prompt = m_questions();
            if (m_prompt)
                connect(m_prompt.get(), &HoldQuestion::inputClosed, this, [this] {
                    m_engine->abandon(QStringLiteral("端末の入力が閉じられたため、回線を切りました。"));
                });
        }
        if (!m_prompt) {
            m_engine->abandon(QStringLiteral("電話を持つよう頼める人がいないため、回線を切りました。"));
            return;
        }
        m_prompt->ask(std::move(answer));
    }
    void sent() override {}
    void refused(Refusal, const QString &) override {}
    void failed(const AppError &) override {}
    void ended(const SendOutcome &outcome) override { finish(outcome.failure, outcome.text); }

private:
    void finish(Failure failure, const QString &message)
    {
        if (m_done)
            return;
        m_done = true;
        // A device that still finishes the call (the SIP engine saying goodbye to the
        // centre as it quits): the call is over once it has, and not before (a process
        // that ended now would leave the call open).
        Line &line = m_lines->line(m_data.settings.ModemKind);
        if (line.releasing()) {
            connect(&line, &Line::released, this, [this, failure, message] { emit finished(failure, message); });
            return;
        }
        // From the event loop: the engine that told the outcome is still on the stack.
        QTimer::singleShot(0, this, [this, failure, message] { emit finished(failure, message); });
    }

    AppData m_data;
    QString m_text;
    EventLoopWaiter m_waiter;
    GivenPassword m_password;
    std::unique_ptr<LineLog> m_log;
    std::unique_ptr<ComPort> m_port;
    std::unique_ptr<KindLines> m_lines;
    HoldQuestions m_questions;
    std::unique_ptr<HoldQuestion> m_prompt;
    std::unique_ptr<SendEngine> m_engine;
    bool m_done = false;
    Line *m_checking = nullptr; // the line under a check
    bool m_aborted = false;
};

} // namespace

std::unique_ptr<CallDriver> makeCallDriver(QObject *parent, HoldQuestions questions)
{
    return std::make_unique<EngineDriver>(parent, std::move(questions));
}
