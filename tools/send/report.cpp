#include "tools/send/report.h"
#include "tools/send/options.h"

#include "gateway/outcome.h"
#include "modem/stagetexts.h"
#include "store/sendqueue.h"

#include <QDateTime>
#include <QJsonDocument>
#include <cstdio>

void TerminalReporter::line(const QString &text)
{
    std::fputs((QStringLiteral("fumidori-send: ") + sendqueue::escaped(sendqueue::capped(text, MaxTextBytes), true) +
                QLatin1Char('\n'))
                   .toUtf8()
                   .constData(),
               stderr);
    std::fflush(stderr);
}

void TerminalReporter::event(const QString &name, QJsonObject fields)
{
    if (!json)
        return;
    fields.insert(QStringLiteral("event"), name);
    fields.insert(QStringLiteral("time"), QDateTime::currentDateTime().toString(Qt::ISODateWithMs));
    std::fputs(QJsonDocument(fields).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    std::fflush(stdout);
}

namespace
{

QString onLine(const QString &lineName, const QString &text)
{
    return lineName.isEmpty() ? text : lineName + QStringLiteral(": ") + text;
}

QJsonObject withLine(QJsonObject fields, const QString &lineName)
{
    if (!lineName.isEmpty())
        fields.insert(QStringLiteral("line"), lineName);
    return fields;
}

} // namespace

void TerminalReporter::stage(const QString &stage, const QString &text, const QString &lineName)
{
    if (!quiet)
        line(onLine(lineName, text));
    event(QStringLiteral("stage"),
          withLine({{QStringLiteral("stage"), stage}, {QStringLiteral("text"), text}}, lineName));
}

void TerminalReporter::progress(int remaining, int total, const QString &lineName)
{
    if (!quiet)
        line(onLine(lineName, stagetexts::progress(Progress::Piece, remaining, total)));
    event(QStringLiteral("progress"),
          withLine({{QStringLiteral("remaining"), remaining}, {QStringLiteral("total"), total}}, lineName));
}

void TerminalReporter::note(const QString &name, const QString &text, QJsonObject fields)
{
    if (!quiet)
        line(text);
    fields.insert(QStringLiteral("text"), text);
    event(name, fields);
}

void TerminalReporter::warn(const QString &name, const QString &text, QJsonObject fields)
{
    line(text);
    fields.insert(QStringLiteral("text"), text);
    event(name, fields);
}

void TerminalReporter::result(const Outcome &given, QJsonObject fields)
{
    Outcome outcome = given;
    if (outcome.refusal.why != Refused::None)
        outcome.message = refusalText(outcome.refusal);
    if (!outcome.sent())
        line(outcome.message);
    else if (!quiet)
        line(outcome.message.isEmpty() ? QStringLiteral("送信しました。") : outcome.message);
    fields.insert(QStringLiteral("status"), outcome.word());
    fields.insert(QStringLiteral("exit"), outcome.exitCode());
    fields.insert(QStringLiteral("message"), sendqueue::capped(outcome.message, MaxTextBytes));
    if (!outcome.recipient.isEmpty())
        fields.insert(QStringLiteral("recipient"), outcome.recipient);
    if (!outcome.center.isEmpty())
        fields.insert(QStringLiteral("center"), outcome.center);
    event(QStringLiteral("result"), fields);
}
