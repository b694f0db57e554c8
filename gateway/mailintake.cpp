#include "gateway/mailintake.h"

#include "gateway/dedup.h"
#include "gateway/heartbeat.h"
#include "gateway/pages.h"

#include "gateway/queueadd.h"
#include "gateway/textfit.h"
#include "store/plugins.h"
#include "store/sendqueue.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace
{

// Of each field, and of the page's text: more than any centre takes in MaxParts parts, and
// the checks after it stay cheap however large a hostile subject is.
constexpr qsizetype MaxTextChars = 4096;

const QStringList MailKeys = {QStringLiteral("AllowFrom"), QStringLiteral("Template"), QStringLiteral("Split"),
                              QStringLiteral("MaxParts")};

QStringList listOf(const QString &value)
{
    QStringList out;
    for (const QString &piece : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (!piece.trimmed().isEmpty())
            out << piece.trimmed();
    }
    return out;
}

// The body up to its signature ("-- " on a line of its own).
QString bodyLines(const QString &body)
{
    QString out;
    for (const QStringView line : QStringView(body).left(MaxTextChars).split(QLatin1Char('\n'))) {
        const QString text = line.toString();
        if (text == QLatin1String("-- ") || text == QLatin1String("-- \r") || text == QLatin1String("--") ||
            text == QLatin1String("--\r"))
            break;
        out += text + QLatin1Char('\n');
    }
    return out;
}

} // namespace

MailSettings MailSettings::fromIni(const IniFile &ini)
{
    MailSettings s;
    s.problems = ini.problems();
    s.problems += ini.unknownKeys(QStringLiteral("Mail"), MailKeys);
    const QString mail = QStringLiteral("Mail");
    if (ini.has(mail, QStringLiteral("AllowFrom"))) {
        for (const QString &entry : listOf(ini.value(mail, QStringLiteral("AllowFrom"))))
            s.allowFrom << entry.toLower();
        s.allowListGiven = !s.allowFrom.isEmpty();
    }
    if (ini.has(mail, QStringLiteral("Template")) && !ini.value(mail, QStringLiteral("Template")).isEmpty())
        s.pageTemplate = ini.value(mail, QStringLiteral("Template"));
    const QString split = ini.value(mail, QStringLiteral("Split"), QStringLiteral("0"));
    if (split == QLatin1String("0") || split == QLatin1String("1"))
        s.split = split == QLatin1String("1");
    else
        s.problems << QStringLiteral("[Mail] Split is 0 or 1 (\"%1\" read as 0)").arg(split);
    bool ok = false;
    const QString parts = ini.value(mail, QStringLiteral("MaxParts"), QStringLiteral("3"));
    const int n = parts.toInt(&ok);
    if (ok && n >= 1 && n <= 9)
        s.maxParts = n;
    else
        s.problems << QStringLiteral("[Mail] MaxParts is 1 to 9 (\"%1\" read as 3)").arg(parts);
    for (const IniFile::Entry &e : ini.entries()) {
        if (e.section.compare(QLatin1String("Addresses"), Qt::CaseInsensitive) != 0)
            continue;
        const QStringList names = listOf(e.value);
        if (names.isEmpty())
            s.problems << QStringLiteral("line %1: [Addresses] %2 names nobody").arg(e.line).arg(e.key);
        else
            s.addresses << qMakePair(e.key, names);
    }
    return s;
}

MailSettings MailSettings::load(const QString &dataFolder)
{
    const IniFile ini = IniFile::load(dataFolder + QLatin1String(FileName));
    if (!ini.ok()) {
        MailSettings s;
        s.error = ini.error();
        return s;
    }
    return fromIni(ini);
}

bool senderAllowed(const QStringList &allowFrom, const QString &address)
{
    const QString who = address.trimmed().toLower();
    for (const QString &entry : allowFrom) {
        if (entry == QLatin1String("*"))
            return true;
        if (who.isEmpty())
            continue;
        if (entry.startsWith(QLatin1Char('@')) ? who.endsWith(entry) && who.indexOf(u'@') == who.size() - entry.size()
                                               : who == entry)
            return true;
    }
    return false;
}

bool isNullSender(const QString &sender)
{
    const QString s = sender.trimmed();
    return s.isEmpty() || s == QLatin1String("<>") ||
           s.compare(QLatin1String("MAILER-DAEMON"), Qt::CaseInsensitive) == 0;
}

QStringList namesForAddress(const QString &address, const MailSettings &settings)
{
    const auto mapped = [&](const QString &key) -> std::optional<QStringList> {
        for (const auto &[k, names] : settings.addresses) {
            if (k.compare(key, Qt::CaseInsensitive) == 0)
                return names;
        }
        return std::nullopt;
    };
    const QString whole = address.trimmed();
    const qsizetype at = whole.lastIndexOf(QLatin1Char('@'));
    const QString local = at < 0 ? whole : whole.left(at);
    for (const QString &key : {whole, local}) {
        if (auto names = mapped(key))
            return *names;
    }
    const qsizetype plus = local.indexOf(QLatin1Char('+'));
    const QString who = plus >= 0 && plus + 1 < local.size() ? local.mid(plus + 1) : local;
    if (auto names = mapped(who))
        return *names;
    return {who};
}

QString pageText(const MailContent &mail, const QString &pageTemplate)
{
    const QString from = mail.fromName.trimmed().isEmpty() ? mail.fromAddress : mail.fromName;
    const QList<QPair<QString, QString>> fields = {{QStringLiteral("{subject}"), mail.subject.left(MaxTextChars)},
                                                   {QStringLiteral("{from}"), from.left(MaxTextChars)},
                                                   {QStringLiteral("{body}"), bodyLines(mail.body)}};
    // One pass over the template: what a field brings in is never read as a field.
    QString out;
    for (qsizetype i = 0; i < pageTemplate.size();) {
        const auto field = std::find_if(fields.cbegin(), fields.cend(), [&](const auto &f) {
            return QStringView(pageTemplate).mid(i).startsWith(f.first, Qt::CaseInsensitive);
        });
        if (field != fields.cend()) {
            out += field->second;
            i += field->first.size();
        } else {
            out += pageTemplate[i++];
        }
    }
    return squeezeSpaces(out).left(MaxTextChars);
}

namespace
{

MailAnswer answer(int code, const QString &message)
{
    return {code, message, {}};
}

const Recipient *recipientNamed(const AppData &data, const QString &name)
{
    const Recipient *folded = nullptr;
    for (const Recipient &r : data.recipients) {
        if (r.name == name)
            return &r;
        if (!folded && r.name.compare(name, Qt::CaseInsensitive) == 0)
            folded = &r;
    }
    return folded;
}

} // namespace

// A refusal of the gateway's rules worded for the mail server's bounce: the addresses
// and the mail, in English; a reason that names nothing of the mail as the rules word it.
MailAnswer mailRefusal(const Outcome &refusal)
{
    const IntakeRefusal &r = refusal.refusal;
    switch (r.why) {
    case Refused::UnknownRecipient:
        return answer(mailexit::NoUser,
                      QStringLiteral("unknown recipient: %1 is not in the address book").arg(r.subject));
    case Refused::NoCenterForRecipient: // the book may be in the middle of an edit
        return answer(
            mailexit::TempFail,
            QStringLiteral("recipient %1 has no message centre in the address book (try again later)").arg(r.subject));
    case Refused::NoLineForCenter:
        return answer(mailexit::DataError,
                      QStringLiteral("no line of the queue may call centre %1 (Centers= in queue.ini)").arg(r.subject));
    case Refused::NoSettings:
        return answer(mailexit::TempFail,
                      QStringLiteral("cannot read the data folder (try again later): ") + refusal.message);
    case Refused::DeviceKind:
        return answer(mailexit::TempFail, QStringLiteral("the device kind cannot run unattended: ") + r.text);
    case Refused::QueueFull:
        return answer(mailexit::TempFail,
                      QStringLiteral("the queue is full (MaxQueued=%1 in queue.ini); try again later").arg(r.subject));
    case Refused::None:
    case Refused::NoRecipient:
    case Refused::NumberWithoutCenter:
    case Refused::BadNumber:
    case Refused::TooLong:
    case Refused::Unsendable:
    case Refused::Other:
        break;
    }
    if (refusal.status() == ExitStatus::Busy)
        return answer(mailexit::TempFail,
                      QStringLiteral("cannot read the data folder (try again later): ") + refusal.message);
    return answer(mailexit::DataError, QStringLiteral("refused: ") + refusal.message);
}

namespace
{

// What every mail that pages (or beats) passes: mail.ini read, a mail, not a bounce or an
// automatic reply (taken, doing nothing: no loops with other robots), from a sender
// AllowFrom= lets page. The answer when it is not to be used.
std::optional<MailAnswer> refusedMail(const MailDelivery &d, const MailSettings &settings, const MailContent &mail)
{
    const MailEnvelope &envelope = d.envelope;
    if (!settings.error.isEmpty())
        return answer(
            mailexit::TempFail,
            QStringLiteral("cannot read %1 (try again later): %2").arg(MailSettings::FileName, settings.error));
    if (!mail.readable)
        return answer(mailexit::DataError, QStringLiteral("not a mail"));
    if (envelope.sender && isNullSender(*envelope.sender))
        return answer(mailexit::Queued, QStringLiteral("taken, not paged: a bounce (null sender)"));
    if (mail.autoReplied)
        return answer(mailexit::Queued,
                      QStringLiteral("taken, not paged: an automatic reply (Auto-Submitted: auto-replied)"));
    if (!settings.allowListGiven)
        return answer(mailexit::NoPermission,
                      QStringLiteral("no sender may page until AllowFrom= is set under [Mail] in %1%2 "
                                     "(for example AllowFrom=alert@example.jp,@example.jp)")
                          .arg(d.folder, QLatin1String(MailSettings::FileName)));
    const QString sender = envelope.sender ? envelope.sender->trimmed() : mail.fromAddress;
    if (!senderAllowed(settings.allowFrom, sender))
        return answer(mailexit::NoPermission,
                      QStringLiteral("sender <%1> may not page (not in AllowFrom of mail.ini)").arg(sender));
    return std::nullopt;
}

} // namespace

MailAnswer takeBeat(const MailDelivery &d, const QByteArray &raw, MailReader &reader, qint64 nowMs)
{
    const MailSettings settings = MailSettings::load(d.folder);
    const MailContent mail = settings.error.isEmpty() ? reader.read(raw.left(MailSettings::MaxBytes)) : MailContent{};
    if (std::optional<MailAnswer> refused = refusedMail(d, settings, mail))
        return *refused;
    AppData data;
    if (loadFolder(d.folder, data))
        return answer(mailexit::TempFail, QStringLiteral("cannot read the data folder (try again later)"));
    const OnCall oncall = OnCall::load(d.folder, data);
    if (!oncall.ok())
        return answer(mailexit::TempFail, QStringLiteral("cannot use oncall.ini (try again later)"));
    if (!oncall.heartbeats().contains(d.heartbeat))
        return answer(mailexit::NoUser, QStringLiteral("no heartbeat %1 in oncall.ini").arg(d.heartbeat));
    if (const QString problem = heartbeats::beat(d.folder, d.heartbeat, nowMs); !problem.isEmpty())
        return answer(mailexit::TempFail, QStringLiteral("cannot keep the beat (try again later): ") + problem);
    return answer(mailexit::Queued, QStringLiteral("heartbeat %1 taken").arg(d.heartbeat));
}

MailAnswer takeMail(const MailDelivery &d, const QByteArray &raw, MailReader &reader, const DeviceAccess &access)
{
    const MailEnvelope &envelope = d.envelope;
    const MailSettings settings = MailSettings::load(d.folder);
    const MailContent mail = settings.error.isEmpty() ? reader.read(raw.left(MailSettings::MaxBytes)) : MailContent{};
    if (std::optional<MailAnswer> refused = refusedMail(d, settings, mail))
        return *refused;

    QStringList names;
    if (!d.to.isEmpty())
        names << d.to;
    else if (!envelope.recipient.trimmed().isEmpty())
        names = namesForAddress(envelope.recipient, settings);
    else
        return answer(mailexit::NoUser, QStringLiteral("no recipient: give --to or --recipient"));
    names.removeDuplicates();

    AppData data;
    if (const std::optional<Outcome> problem = loadFolder(d.folder, data))
        return answer(mailexit::TempFail,
                      QStringLiteral("cannot read the data folder (try again later): ") + problem->message);
    const QString text = pageText(mail, settings.pageTemplate);
    if (text.isEmpty())
        return answer(mailexit::DataError, QStringLiteral("nothing to page: no subject and no text"));

    // Every page of every recipient is one batch: checked whole by the rules against the
    // folder's files as read above, queued all at once or not at all. A name the book
    // knows in another case is its name there; a name it does not know, or one with no
    // centre to fit the pages to, goes as it is for the rules to refuse.
    QList<BatchMessage> pages;
    QStringList escalations;      // started once the batch is queued: a page to an escalation waits for no batch
    std::optional<OnCall> oncall; // read only for a name the book does not have
    for (const QString &name : std::as_const(names)) {
        const Recipient *r = recipientNamed(data, name);
        if (!r && !oncall)
            oncall = OnCall::load(d.folder, data);
        if (!r && oncall->ok() && oncall->kindOf(name) == OnCall::Kind::Escalation) {
            escalations << name;
            continue;
        }
        if (!r || r->centerIndex < 0 || r->centerIndex >= data.centers.size()) {
            pages << BatchMessage{Target{r ? r->name : name, {}, {}, false}, text};
            continue;
        }
        const QStringList parts = fitToCenter(text, data.centers[r->centerIndex], settings.split, settings.maxParts);
        if (parts.isEmpty())
            return answer(mailexit::DataError,
                          QStringLiteral("nothing to page: no character of the mail can be sent to centre %1")
                              .arg(data.centers[r->centerIndex].name));
        for (const QString &part : parts)
            pages << BatchMessage{Target{r->name, {}, {}, false}, part};
    }
    // The mail server tries a delivery again when it lost the answer (a timeout, a crash):
    // the same mail to the same people is taken once.
    QStringList whom = names;
    whom.sort();
    const QByteArray once = mail.messageId.isEmpty()
                                ? QByteArray()
                                : DedupIndex::keyOf(QStringList{QStringLiteral("mail"), mail.messageId} + whom);
    const BatchResult added =
        pages.isEmpty() ? BatchResult{} : addBatch(d.folder, pages, access, d.defaults, &data, once);
    if (!added.takenAs.isEmpty())
        return answer(mailexit::Queued, QStringLiteral("taken already, not paged again: mail %1 was queued as %2")
                                            .arg(sendqueue::capped(mail.messageId, 200), added.takenAs));
    if (added.refusal)
        return mailRefusal(added.refusal->outcome);
    if (!added.notStored.isEmpty())
        return answer(mailexit::TempFail,
                      QStringLiteral("cannot write the queue (try again later): ") + added.notStored);
    MailAnswer done;
    done.ids = added.ids;
    done.message = QStringLiteral("queued %1 page(s)").arg(done.ids.size() - added.repeats.size());
    if (!added.repeats.isEmpty())
        done.message += QStringLiteral(", %1 repeat(s) of recent pages not sent again").arg(added.repeats.size());
    // Not tried again by the mail server once anything is queued: a repeat would page twice.
    for (const QString &name : std::as_const(escalations)) {
        const auto started = pages::startEscalation(d.folder, data, name, text, {}, QDateTime::currentSecsSinceEpoch(),
                                                    access, d.defaults);
        if (const auto *problem = started ? std::get_if<QString>(&*started) : nullptr)
            return answer(mailexit::DataError,
                          QStringLiteral("%1; escalation %2 refused: %3").arg(done.message, name, *problem));
        if (started) {
            const PageState &p = std::get<PageState>(*started);
            done.ids << p.id;
            done.message += QStringLiteral(", escalation %1 started as page %2").arg(name, p.id);
        }
    }
    return done;
}

namespace
{

// The first limit bytes of standard input; the rest is read and passed over, so that the
// mail server sees the whole mail taken.
std::optional<QByteArray> readMail(qsizetype limit)
{
    QByteArray mail;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0)
            return mail;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (mail.size() < limit)
            mail.append(buffer, qMin<qsizetype>(n, limit - mail.size()));
    }
}

MailReader *loadReader(QString *problem)
{
    static constexpr char PluginFile[] = "fumidori-mail.so";
    QStringList problems;
    auto *reader = qobject_cast<MailReader *>(loadPlugin(QLatin1String(PluginFile), &problems));
    if (!reader)
        *problem =
            problems.isEmpty()
                ? QStringLiteral("mail reader plugin %1 not found (%2; a build makes it with scripts/run); "
                                 "try again later")
                      .arg(QLatin1String(PluginFile), pluginPaths(QLatin1String(PluginFile)).join(u','))
                : QStringLiteral("cannot load the mail reader plugin (try again later): %1").arg(problems.join(u';'));
    return reader;
}

} // namespace

MailAnswer takeAck(const MailDelivery &d, const QByteArray &raw, MailReader &reader, qint64 now)
{
    const MailContent mail = reader.read(raw.left(MailSettings::MaxBytes));
    if (!mail.readable)
        return answer(mailexit::DataError, QStringLiteral("not a mail"));
    if ((d.envelope.sender && isNullSender(*d.envelope.sender)) || mail.autoReplied)
        return answer(mailexit::Queued, QStringLiteral("taken, not an acknowledgement: an automatic mail"));
    const QString sender = (d.envelope.sender ? *d.envelope.sender : mail.fromAddress).trimmed().toLower();
    static const QRegularExpression sixDigits(QStringLiteral("(?<![0-9])([0-9]{6})(?![0-9])"));
    QString code = sixDigits.match(mail.subject).captured(1);
    if (code.isEmpty())
        code = sixDigits.match(mail.body.trimmed().section(QLatin1Char('\n'), 0, 0)).captured(1);

    AppData data;
    if (std::optional<Outcome> problem = loadFolder(d.folder, data))
        return answer(mailexit::TempFail, QStringLiteral("cannot read the data folder (try again later)"));
    const OnCall oncall = OnCall::load(d.folder, data);
    if (!oncall.ok())
        return answer(mailexit::TempFail, QStringLiteral("cannot use oncall.ini (try again later)"));

    std::optional<PageState> page;
    {
        // The wrong codes of the last hour, by sender, kept in queue/state/ and changed under
        // the pages' lock: two mails at once both count.
        static constexpr char WrongFile[] = "ackmail.json";
        const pages::Lock lock(d.folder);
        QString problem;
        QJsonObject wrong =
            QJsonDocument::fromJson(
                sendqueue::readState(d.folder, QLatin1String(WrongFile), &problem).value_or(QByteArray()))
                .object();
        for (const QString &other : wrong.keys()) { // senders with no wrong code this hour are forgotten
            QJsonArray times;
            for (const QJsonValue &t : wrong.value(other).toArray())
                if (qint64(t.toDouble()) > now - 3600)
                    times.append(t);
            if (times.isEmpty())
                wrong.remove(other);
            else
                wrong[other] = times;
        }
        QJsonArray times = wrong.value(sender).toArray();
        if (times.size() >= MaxWrongCodes)
            return answer(mailexit::NoPermission,
                          QStringLiteral("too many wrong codes from <%1>: try again within the hour").arg(sender));
        page = code.isEmpty() ? std::nullopt : pages::find(d.folder, code);
        const bool fromPerson =
            page && page->open() && std::any_of(page->people.cbegin(), page->people.cend(), [&](const QString &person) {
                return oncall.mailOf(person).contains(sender);
            });
        if (!fromPerson) {
            times.append(double(now));
            wrong[sender] = times;
            const sendqueue::Result written = sendqueue::writeState(
                d.folder, QLatin1String(WrongFile), QJsonDocument(wrong).toJson(QJsonDocument::Compact));
            if (!written.ok()) // an uncounted wrong code would lift the limit
                return answer(mailexit::TempFail, QStringLiteral("cannot write the queue's state (try again later)"));
            return answer(mailexit::NoPermission,
                          QStringLiteral("no open page with that code that <%1> may acknowledge").arg(sender));
        }
    }
    const auto acked = pages::acknowledge(d.folder, page->id, sender, now);
    if (std::holds_alternative<QString>(acked))
        return answer(mailexit::TempFail, QStringLiteral("cannot acknowledge now (try again later)"));
    return answer(mailexit::Queued, QStringLiteral("page %1 acknowledged").arg(page->id));
}

int queueMail(MailDelivery d, const DeviceAccess &access)
{
    MailEnvelope &envelope = d.envelope;
    if (!envelope.sender && qEnvironmentVariableIsSet("SENDER"))
        envelope.sender = qEnvironmentVariable("SENDER");
    if (envelope.recipient.isEmpty())
        envelope.recipient = qEnvironmentVariable("ORIGINAL_RECIPIENT");

    MailAnswer result;
    QString problem;
    QStringList warnings; // after the reason, which the mail server's bounce shows first
    const std::optional<QByteArray> raw = readMail(MailSettings::MaxBytes);
    if (!raw) {
        result = answer(mailexit::TempFail, QStringLiteral("cannot read standard input"));
    } else if (MailReader *reader = loadReader(&problem)) {
        result = d.ack                    ? takeAck(d, *raw, *reader, QDateTime::currentSecsSinceEpoch())
                 : !d.heartbeat.isEmpty() ? takeBeat(d, *raw, *reader, QDateTime::currentMSecsSinceEpoch())
                                          : takeMail(d, *raw, *reader, access);
        for (const QString &line : MailSettings::load(d.folder).problems)
            warnings << QStringLiteral("fumidori-send: %1: %2").arg(QLatin1String(MailSettings::FileName), line);
    } else {
        result = answer(mailexit::TempFail, problem);
    }
    if (!result.ids.isEmpty())
        std::fputs((result.ids.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8().constData(), stdout);
    if (!d.quiet || result.exitCode != mailexit::Queued || result.ids.isEmpty()) {
        const QString line = sendqueue::escaped(result.message);
        std::fputs((QStringLiteral("fumidori-send: ") + line + QLatin1Char('\n')).toUtf8().constData(), stderr);
    }
    for (const QString &line : std::as_const(warnings))
        std::fputs((sendqueue::escaped(line) + QLatin1Char('\n')).toUtf8().constData(), stderr);
    return result.exitCode;
}
