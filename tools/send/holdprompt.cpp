#include "tools/send/holdprompt.h"

#include <QSocketNotifier>
#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

std::optional<bool> parseHoldAnswer(QByteArray line)
{
    line = line.trimmed();
    if (line.isEmpty() || line == "1")
        return true;
    if (line == "2")
        return false;
    return std::nullopt;
}

HoldPrompt::HoldPrompt(int inputFd, QObject *parent) : HoldQuestion(parent), m_fd(inputFd)
{
    if (m_fd < 0 && ::isatty(STDIN_FILENO)) {
        m_fd = STDIN_FILENO;
    } else if (m_fd < 0) {
        m_fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
        m_ownFd = m_fd >= 0;
    }
    // The question goes where the person is: standard error on the terminal, else the
    // terminal the answer is read from.
    m_outFd = ::isatty(STDERR_FILENO) || !m_ownFd ? STDERR_FILENO : m_fd;
}

HoldPrompt::~HoldPrompt()
{
    if (m_ownFd)
        ::close(m_fd);
}

void HoldPrompt::write(const QString &text) const
{
    const QByteArray bytes = text.toUtf8();
    [[maybe_unused]] const ssize_t n = ::write(m_outFd, bytes.constData(), size_t(bytes.size()));
}

void HoldPrompt::ask(std::function<void(bool playNumber)> answer)
{
    m_answer = std::move(answer);
    if (m_fd < 0) {
        emit inputClosed();
        return;
    }
    if (::isatty(m_fd))
        ::tcflush(m_fd, TCIFLUSH);
    m_buffer.clear();
    write(QStringLiteral("受話器を取って、送話口をパソコンのスピーカーに当ててください。\n"
                         "  Return か 1: 番号を鳴らす（センターの番号をトーンで鳴らします。"
                         "トーン回線・IP 電話なら、これで電話がかかります）\n"
                         "  2: 自分でかけた（センターに自分で電話をかけたとき。何も鳴らしません）\n> "));
    if (!m_notifier) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &HoldPrompt::readInput);
    }
    m_notifier->setEnabled(true);
}

void HoldPrompt::cancel()
{
    m_answer = nullptr;
    if (m_notifier)
        m_notifier->setEnabled(false);
}

// Called when the terminal has input: one read takes what is there without waiting.
void HoldPrompt::readInput()
{
    char chunk[256];
    const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        cancel();
        emit inputClosed();
        return;
    }
    m_buffer.append(chunk, n);
    qsizetype end;
    while (m_answer && (end = m_buffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        if (const std::optional<bool> playNumber = parseHoldAnswer(line)) {
            auto answer = std::move(m_answer);
            cancel();
            write(*playNumber ? QStringLiteral("番号を鳴らします。\n") : QStringLiteral("番号は鳴らしません。\n"));
            answer(*playNumber);
            return;
        }
        write(QStringLiteral("1 か 2 を入力してください（Return だけなら 1）。\n> "));
    }
}
