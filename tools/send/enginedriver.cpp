#include "calldriver.h"
#include "holdprompt.h"

#include "modem/comport.h"
#include "modem/devicekind.h"
#include "modem/lockedport.h"
#include "modem/modemline.h"
#include "modem/sendengine.h"
#include "modem/sipline.h"
#include "modem/soundline.h"
#include "modem/stagetexts.h"
#include "store/apperror.h"
#include "store/passwordstore.h"

#include <QTimer>

namespace
{

QString stageName(SendStage stage)
{
    switch (stage) {
    case SendStage::Call:
        return QStringLiteral("call");
    case SendStage::Number:
        return QStringLiteral("number");
    case SendStage::Mail:
        return QStringLiteral("mail");
    case SendStage::Star:
        return QStringLiteral("star");
    case SendStage::HangUp:
        return QStringLiteral("hangup");
    case SendStage::Done:
        return QStringLiteral("done");
    }
    return {};
}

// The SIP password read before the call, handed to the line as the keyring would.
class GivenPassword : public PasswordStore
{
public:
    QString password;
    void readPassword(const QString &, std::function<void(QString, QString)> done) override { done(password, {}); }
    void writePassword(const QString &, const QString &, std::function<void(QString)> done) override { done({}); }
};

// The send engine with a front end that presses the send button itself. With automatic
// sending on, the engine runs each stage after the centre's wait; where it stops (a wait
// of 0, OkCheckNo 1) the driver makes the wait the window's automatic sending would have
// made, and presses on.
class EngineDriver : public CallDriver, public SendFrontEnd, public LineSet
{
public:
    using CallDriver::CallDriver;
    ~EngineDriver() override
    {
        if (m_engine)
            m_engine->hangUpForExit();
    }

    void start(const CallRequest &request) override
    {
        m_data.folder = request.folder;
        m_data.settings = request.settings;
        m_data.settings.AutoTransmit = 1; // nobody is there to press the button
        m_data.centers = {request.center};
        m_data.recipients = {Recipient{QString(), 0, request.number}};
        m_text = request.text;
        if (m_data.settings.ModemKind == int(DeviceKind::SoundCard)) {
            // No port: the question is asked on the terminal, the digits played on the speaker.
            m_prompt = std::make_unique<HoldPrompt>();
            connect(m_prompt.get(), &HoldPrompt::inputClosed, this, [this] {
                m_problem = QStringLiteral("端末の入力が閉じられたため、回線を切りました。");
                m_engine->hangUp();
            });
            m_line = std::make_unique<SoundLine>(m_data.settings, m_waiter, *this);
        } else if (m_data.settings.ModemKind == int(DeviceKind::Sip)) {
            m_password.password = request.sipPassword;
            m_line = std::make_unique<SipLine>(m_data.settings, m_waiter, &m_password);
        } else {
            m_port = std::make_unique<ComPort>(request.folder);
            m_lockedPort = std::make_unique<LockedPort>(*m_port, request.folder);
            m_line = std::make_unique<ModemLine>(m_data.settings, *m_lockedPort, m_waiter);
        }
        m_engine = std::make_unique<SendEngine>(m_data, *this, *this);
        m_next.setSingleShot(true);
        connect(&m_next, &QTimer::timeout, m_engine.get(), &SendEngine::send);
        connect(m_engine.get(), &SendEngine::settled, this, &EngineDriver::settled);
        m_engine->send();
    }

    void abort() override
    {
        if (!m_engine || m_done)
            return;
        m_aborted = true;
        m_next.stop();
        m_engine->hangUp();
        // A stage under way ends at its next write with the line closed, and settles.
        if (!m_engine->busy())
            QTimer::singleShot(0, this, &EngineDriver::settled);
    }

    Line &line(int) override { return *m_line; }

    int selectedCenter() const override { return 0; }
    int selectedRecipient() const override { return 0; }
    QString mailText() const override { return m_text; }
    void stageStarted(SendStage stage) override
    {
        m_starRun = m_starRun || stage == SendStage::Star;
        emit stageChanged(stageName(stage), stagetexts::running(stage));
    }
    void nextStage(SendStage stage, bool) override { m_stage = stage; }
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
        if (status == LineStatus::Dropped)
            m_problem = stagetexts::lineStatus(status);
        emit stageChanged(status == LineStatus::Dropped ? QStringLiteral("dropped") : QStringLiteral("hungup"),
                          stagetexts::lineStatus(status));
    }
    void callEnded() override
    {
        m_ended = true;
        if (m_prompt)
            m_prompt->cancel();
    }
    void askToHoldPhone(std::function<void(bool playNumber)> answer) override { m_prompt->ask(std::move(answer)); }
    void sent() override { m_sent = true; }
    void refused(Refusal reason) override
    {
        m_problem = stagetexts::refusal(reason);
        m_ended = true;
    }
    void failed(const AppError &error) override
    {
        m_ended = true;
        m_busy = error.code() == ErrorCode::PortInUse;
        m_accountRefused = error.code() == ErrorCode::AccountRefused;
        if (error.code() != ErrorCode::PortNotOpen)
            m_problem = QStringLiteral("%1（エラー番号 %2）").arg(error.description()).arg(error.code());
    }

private:
    void settled()
    {
        if (m_done)
            return;
        if (m_sent && !m_aborted) {
            finish(ExitStatus::Sent, {});
        } else if (m_aborted) {
            finish(ExitStatus::LineFailed, QStringLiteral("止められたため、回線を切りました。"));
        } else if (m_ended || !m_engine->lineOpen()) {
            finish(m_busy             ? ExitStatus::Busy
                   : m_accountRefused ? ExitStatus::BadInput
                                      : ExitStatus::LineFailed,
                   m_problem.isEmpty() ? QStringLiteral("回線が切れました。") : m_problem);
        } else {
            // Stopped between stages: the centre's wait before the next one, then on.
            const MessageCenter &c = m_data.centers[0];
            int wait = 0;
            if (m_stage == SendStage::Number)
                wait = c.waitBeforeNumber;
            else if (m_stage == SendStage::Mail)
                wait = c.waitBeforeMail;
            else if (m_stage == SendStage::Star || m_stage == SendStage::HangUp)
                wait = m_starRun ? 6 : c.waitBeforeHangUp;
            m_next.start(qMax(0, wait) * 1000);
        }
    }

    void finish(ExitStatus status, const QString &message)
    {
        m_done = true;
        // The SIP engine says goodbye to the centre as it quits: the call is over once it
        // has gone, and not before (a process that ended now would leave the call open).
        if (auto *sip = qobject_cast<SipLine *>(m_line.get());
            sip && sip->engine().state() != BaresipCall::State::Idle) {
            connect(&sip->engine(), &BaresipCall::ended, this,
                    [this, status, message] { emit finished(status, message); });
            return;
        }
        emit finished(status, message);
    }

    AppData m_data;
    QString m_text;
    EventLoopWaiter m_waiter;
    GivenPassword m_password;
    std::unique_ptr<ComPort> m_port;
    std::unique_ptr<LockedPort> m_lockedPort;
    std::unique_ptr<HoldPrompt> m_prompt;
    std::unique_ptr<Line> m_line;
    std::unique_ptr<SendEngine> m_engine;
    QTimer m_next;
    SendStage m_stage = SendStage::Call;
    QString m_problem;
    bool m_starRun = false; // the "*" stage has run: six seconds before the hang-up
    bool m_sent = false;
    bool m_ended = false;
    bool m_busy = false;
    bool m_accountRefused = false; // the SIP server turned the account down: trying again cannot help
    bool m_aborted = false;
    bool m_done = false;
};

} // namespace

std::unique_ptr<CallDriver> makeCallDriver(QObject *parent)
{
    return std::make_unique<EngineDriver>(parent);
}
