#pragma once

#include "gateway/calldriver.h"

#include <QByteArray>
#include <functional>
#include <optional>

class QSocketNotifier;

// The sound card's answer as typed: Return or "1" plays the centre's number, "2" says
// the user dialled it by hand; anything else is no answer (the question is asked again).
std::optional<bool> parseHoldAnswer(QByteArray line);

// The sound card's question (pick up the phone, hold it to the speaker) asked on the
// terminal: standard input when it is one, else the process's terminal. The answer is
// read from the event loop when a line arrives; nothing blocks.
class HoldPrompt : public HoldQuestion
{
    Q_OBJECT
public:
    // inputFd: where to read the answers; -1: standard input when it is a terminal,
    // else /dev/tty.
    explicit HoldPrompt(int inputFd = -1, QObject *parent = nullptr);
    ~HoldPrompt() override;

    // Prints the question and calls answer once a valid answer has been typed. Lines
    // typed before the question are dropped.
    // inputClosed() when the terminal's input ends (or cannot be read).
    void ask(std::function<void(bool playNumber)> answer) override;
    void cancel() override;

private:
    void readInput();
    void write(const QString &text) const;

    int m_fd = -1;
    bool m_ownFd = false;
    int m_outFd = 2;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_buffer;
    std::function<void(bool)> m_answer;
};
