#pragma once

#include "gateway/oncall.h"
#include "gateway/prepare.h"
#include "gateway/queueadd.h"
#include "store/sendqueue.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <variant>

// A page to an escalation: its steps, which of them have been queued, its acknowledgement
// code and whether it was acknowledged. Each is a file of its own in queue/state/
// ("<id>.page"), written whole and renamed in, so that a runner started again finds the
// steps still to come, and a step is queued once: the file says which step is being
// queued before its batch is written, and the messages carry their page and step.
struct PageState {
    enum class State { Open, Acknowledged, Resolved };
    QString id;
    QString escalation;
    QString text;
    QString severity;
    QString group;      // the alert group it was raised for (Alertmanager's groupKey); empty: none
    QString ack;        // 6 digits, unique among open pages
    qint64 started = 0; // seconds since the epoch
    QList<OnCall::DueStep> steps;
    int queued = 0;     // steps queued so far
    int adding = -1;    // the step being queued: its batch may be in the queue already
    QStringList people; // everyone paged so far
    State state = State::Open;
    QString by;       // who acknowledged or resolved it
    qint64 ended = 0; // when

    bool open() const { return state == State::Open; }
    // Every step queued without an acknowledgement.
    bool exhausted() const { return open() && queued >= steps.size(); }
    // When it ended (its last step's time when exhausted); nullopt while open.
    std::optional<qint64> endedAt() const;
    // When the next step comes due (seconds since the epoch); nullopt when none will.
    std::optional<qint64> nextDue() const;
    // "open", "acknowledged", "resolved", "exhausted".
    QString word() const;
};

namespace pages
{

constexpr const char *Suffix = ".page";

// The pages' files (and the records kept beside them, such as the mail intake's wrong
// codes) are changed under one lock, queue/state/pages.lock, held for a read, a change and
// a write: a runner queuing a step and an acknowledgement never write over each other. Not
// taken twice by one program at once: the functions below that change a page take it.
class Lock
{
public:
    explicit Lock(const QString &dataFolder);
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    int m_fd = -1;
};

QByteArray toJson(const PageState &p);
std::optional<PageState> fromJson(const QByteArray &bytes);

sendqueue::Result write(const QString &dataFolder, const PageState &p);
std::optional<PageState> read(const QString &dataFolder, const QString &id);
QList<PageState> all(const QString &dataFolder);
// A page by its id or its acknowledgement code.
std::optional<PageState> find(const QString &dataFolder, const QString &idOrCode);

// The files of pages that ended (acknowledged, resolved, or every step queued) more than
// keep seconds before now are removed, so that queue/state/ does not grow without bound:
// the number removed.
constexpr qint64 KeepEnded = 7 * 24 * 3600;
int removeEnded(const QString &dataFolder, qint64 now, qint64 keep = KeepEnded);
// What the pages removed counted: ended, by word(); their steps queued. The metrics add it,
// so that their totals never go down.
struct Totals {
    QMap<QString, quint64> ended;
    quint64 steps = 0;
};
Totals removed(const QString &dataFolder);

// A 6-digit code that no open page has.
QString newAckCode(const QList<PageState> &pages);
// A step's message: the page's text and the suffix after it, {ack} replaced in both (a
// template may place the code itself). The suffix is kept whole when the text is fitted.
BatchMessage stepMessage(const PageState &p, const QString &name, const QString &suffix);

// Queues one step's messages: the ids queued, or why not.
using StepQueuer = std::function<std::variant<QStringList, QString>(const PageState &, const OnCall::DueStep &)>;

// Queues the steps of an open page that are due at now, each once, the state written
// before and after each: the number of steps queued, and problems (a step that could not
// be queued is tried again at the next call).
struct Ran {
    int steps = 0;
    QStringList problems;
};
Ran runDue(const QString &dataFolder, PageState &p, qint64 now, const StepQueuer &queue);

// Acknowledges (or, with resolved, resolves) an open page: the steps still to come stop,
// and its messages still waiting are dropped (not one being sent). The page as it is now,
// or why not.
std::variant<PageState, QString> acknowledge(const QString &dataFolder, const QString &idOrCode, const QString &by,
                                             qint64 now, bool resolved = false);

// The queuer of the gateway: a step's name resolved now into one batch through the rules
// of every intake (checkBatch), the page's text with its suffix fitted to each centre,
// each message carrying the page, its step and how it was reached.
StepQueuer stepQueuer(const QString &dataFolder, const DeviceAccess &access, const QueuedMessage &defaults,
                      const QString &suffix);

// A page to the escalation: its state written, then its first step queued. The page, or
// why not (nothing kept when the first step is refused). id: the page's, told to the
// client beforehand; empty: a new one.
std::variant<PageState, QString> start(const QString &dataFolder, const OnCall &oncall, const QString &escalation,
                                       const QString &text, const QString &severity, qint64 now,
                                       const StepQueuer &queue, const QString &group = {}, const QString &id = {});

// A page to the name when oncall.ini (as OnCall::load gives it) makes it an escalation and
// the book has no such name: started as start() does, its steps queued by stepQueuer with
// oncall.ini's suffix. nullopt when the name is no escalation.
std::optional<std::variant<PageState, QString>>
startEscalation(const QString &dataFolder, const AppData &data, const QString &name, const QString &text,
                const QString &severity, qint64 now, const DeviceAccess &access, const QueuedMessage &defaults,
                const QString &group = {});

} // namespace pages
