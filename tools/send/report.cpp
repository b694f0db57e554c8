#include "report.h"

#include "modem/stagetexts.h"
#include "outcome.h"
#include "store/sendqueue.h"

#include <QDateTime>
#include <QJsonDocument>
#include <cstdio>

void Reporter::line(const QString &text)
{
    std::fputs((QStringLiteral("fumidori-send: ") + sendqueue::capped(text, MaxTextBytes) + QLatin1Char('\n'))
                   .toUtf8()
                   .constData(),
               stderr);
    std::fflush(stderr);
}

void Reporter::event(const QString &name, QJsonObject fields)
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

void Reporter::stage(const QString &stage, const QString &text, const QString &lineName)
{
    if (!quiet)
        line(onLine(lineName, text));
    event(QStringLiteral("stage"),
          withLine({{QStringLiteral("stage"), stage}, {QStringLiteral("text"), text}}, lineName));
}

void Reporter::progress(int remaining, int total, const QString &lineName)
{
    if (!quiet)
        line(onLine(lineName, stagetexts::progress(Progress::Piece, remaining, total)));
    event(QStringLiteral("progress"),
          withLine({{QStringLiteral("remaining"), remaining}, {QStringLiteral("total"), total}}, lineName));
}

void Reporter::note(const QString &name, const QString &text, QJsonObject fields)
{
    if (!quiet)
        line(text);
    fields.insert(QStringLiteral("text"), text);
    event(name, fields);
}

void Reporter::warn(const QString &name, const QString &text, QJsonObject fields)
{
    line(text);
    fields.insert(QStringLiteral("text"), text);
    event(name, fields);
}

void Reporter::result(const Outcome &outcome, QJsonObject fields)
{
    if (outcome.status() != ExitStatus::Sent)
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
