#pragma once

#include "http/bodies.h"
#include "store/intake.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <optional>

struct HttpRequest {
    QByteArray method;
    QByteArray path; // without the query
    QByteArray contentType;
    QByteArray authorization;
    QByteArray body;
    httpbody::Overflow rest; // an Alertmanager notification's part past its limit
};

struct HttpAnswer {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// What the listener answers, apart from the connection handling: the routes, who may
// use them, and the answers' texts. Safe to call from the listener's thread only
// through its intake, which is itself safe from any thread.
class Routes
{
public:
    Routes(Intake &intake, QByteArray token, QString alertTemplate);

    // The answer to a request whose body has not been read yet, when it can be given
    // now: a missing token (before a wrong route, which only a client with the token
    // learns), a wrong route or method, a body of the wrong type or one declared longer
    // than bodyLimit (never on the Alertmanager route: see keepsOverflow). nullopt: read
    // the body, then call answer().
    std::optional<HttpAnswer> before(const HttpRequest &request, qint64 declaredLength, qint64 bodyLimit) const;
    HttpAnswer answer(const HttpRequest &request) const;

    // The route takes a body past its limit, kept up to httpbody::AlertBytes and the rest
    // in HttpRequest::rest: Alertmanager's, which drops for good what it is refused.
    static bool keepsOverflow(const QByteArray &path);
    // Whether the route wants the token (all but the health check).
    static bool needsToken(const QByteArray &path);
    // The answer to a request whose body's end is told twice (two Content-Length, or one
    // beside Transfer-Encoding): a proxy in front may have read another body than ours.
    static HttpAnswer ambiguousLength();
    // The bearer token matches, in a time that does not depend on where they differ.
    static bool authorized(const QByteArray &header, const QByteArray &token);
    // The Prometheus text format of a snapshot.
    static QByteArray metricsText(const IntakeMetrics &m);

private:
    Intake &m_intake;
    QByteArray m_token;
    QString m_alertTemplate;
};
