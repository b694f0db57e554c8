#include "tools/send/options.h"

#include "gateway/queuerunner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

#include <cstdio>

namespace
{

const QString Usage =
    QStringLiteral("  fumidori-send [オプション] --to 名前 [メッセージ]\n"
                   "  fumidori-send [オプション] --number 番号 --center センター [メッセージ]\n"
                   "  fumidori-send queue add [オプション] --to 名前 [メッセージ]\n"
                   "  fumidori-send queue add --mail [--to 名前] [--sender 送信者] [--recipient 宛先]\n"
                   "  fumidori-send queue run | list | retry ID | drop ID\n"
                   "  fumidori-send queue oncall [名前] [--at 日時] | ack ページID\n"
                   "  fumidori-send queue heartbeat [--mail] ハートビート名\n"
                   "  fumidori-send queue snpp-user add ユーザー名（パスワードは標準入力から）\n"
                   "メッセージを省くと標準入力 (UTF-8) から読みます。\n"
                   "終了コード: 0 送信した、1 回線の失敗、2 使い方か入力の誤り、3 ポートかキューが使用中。");

void addOptions(QCommandLineParser &p)
{
    p.setApplicationDescription(QStringLiteral("ウィンドウを開かずにメッセージを送ります。\n") + Usage);
    p.addHelpOption();
    p.addVersionOption();
    p.addOptions({
        {"folder", "設定ファイルと送信履歴のあるフォルダー（既定: ウィンドウと同じ）。", "DIR"},
        {"to", "アドレス帳の相手先、または oncall.ini のグループか当番表の名前。", "NAME"},
        {"center", "センターの名前（既定: 相手先のセンター）。", "NAME"},
        {"number", "アドレス帳にない番号（--center と一緒に）。", "DIGITS"},
        {"optimize", "センターの種類に合わせて文字を最適化してから送る。"},
        {"quiet", "経過を表示しない。"},
        {"json", "経過と結果を 1 行 1 つの JSON として標準出力に書く。"},
        {"wait", "ポートが使用中のとき、空くまで待つ秒数（既定 0）。", "SECONDS", "0"},
        {"attempts", "回線の失敗をやり直す回数（既定: 直接 0、キュー 3）。", "N"},
        {"delays", "やり直しまでの時間（既定 1m,5m,15m）。", "LIST"},
        {"on-sent", "送れたあとに実行するコマンド。", "CMD"},
        {"on-failed", "送れなかったあとに実行するコマンド。", "CMD"},
        {"on-line-down", "queue run: 回線を休ませるときに実行するコマンド。", "CMD"},
        {"on-line-up", "queue run: 休ませた回線が戻ったときに実行するコマンド。", "CMD"},
        {"sip-password-file", "SIP のパスワードのファイル（持ち主だけが読めること）。", "FILE"},
        {"listen", "queue run: HTTP でメッセージを受け付けるアドレスとポート（127.0.0.1:8025 など）。", "ADDRESS:PORT"},
        {"token-file", "--listen のトークンのファイル（持ち主だけが読めること。既定: データフォルダーの http-token）。",
         "FILE"},
        {"snpp", "queue run: SNPP でページを受け付けるアドレスとポート（127.0.0.1:4444 など）。", "ADDRESS:PORT"},
        {"answer-limit", "機器の応答を待つ秒数（5～3600、既定 60）。過ぎると回線の失敗。", "SECONDS"},
        {"trace", "回線のやり取り（回線ログの記録）を標準エラー出力にも書く。"},
        {"mail", "queue add: 標準入力のメールをキューに入れる（メールサーバーの配送先として）。"},
        {"sender", "--mail: エンベロープの送信者（既定: 環境変数 SENDER）。", "ADDRESS"},
        {"recipient", "--mail: 配送先のアドレス（既定: 環境変数 ORIGINAL_RECIPIENT）。", "ADDRESS"},
        {"severity",
         "queue add: ページの重大度（info、warning、critical など）。oncall.ini の静かな時間に Hold= "
         "の重大度なら、静かな時間が終わるまで待ちます。",
         "LEVEL"},
        {"at", "queue oncall: この日時の当番（2026-01-07T10:00 など。既定: いま）。", "TIME"},
    });
    p.addPositionalArgument(QStringLiteral("message"), QStringLiteral("メッセージ（省くと標準入力から）。"),
                            QStringLiteral("[メッセージ]"));
}

bool isQueueCommand(const QStringList &positional)
{
    static const QStringList words = {"add", "run", "list", "retry", "drop", "oncall", "ack", "heartbeat", "snpp-user"};
    return positional.size() >= 2 && positional[0] == QLatin1String("queue") && words.contains(positional[1]);
}

} // namespace

std::optional<Options> parseOptions(const QStringList &arguments, const QString &defaultFolder, QString *error)
{
    QCommandLineParser p;
    addOptions(p);
    if (!p.parse(arguments)) {
        *error = p.errorText() + QStringLiteral("\n使い方:\n") + Usage;
        return std::nullopt;
    }
    if (p.isSet("help") || p.isSet("version")) {
        const QString text = p.isSet("help") ? p.helpText()
                                             : QCoreApplication::applicationName() + QLatin1Char(' ') +
                                                   QCoreApplication::applicationVersion() + QLatin1Char('\n');
        std::fputs(text.toUtf8().constData(), stdout);
        error->clear();
        return std::nullopt;
    }
    Options o;
    const QString folder = p.isSet("folder") ? p.value("folder") : defaultFolder;
    o.folder = QDir(folder).absolutePath() + QLatin1Char('/');
    o.target = {p.value("to"), p.value("number"), p.value("center"), p.isSet("optimize")};
    o.quiet = p.isSet("quiet");
    o.json = p.isSet("json");
    o.severity = p.value("severity");
    o.onSent = p.value("on-sent");
    o.onFailed = p.value("on-failed");
    o.onLineDown = p.value("on-line-down");
    o.onLineUp = p.value("on-line-up");
    o.sipPasswordFile = p.value("sip-password-file");
    o.listen = p.value("listen");
    o.tokenFile = p.value("token-file");
    o.snpp = p.value("snpp");
    // An empty path is a mistake in a script, not a wish for the keyring.
    if (p.isSet("sip-password-file") && o.sipPasswordFile.isEmpty()) {
        *error =
            QStringLiteral("--sip-password-file に空のパスが指定されました。パスワードのファイルを指定してください。");
        return std::nullopt;
    }
    auto fail = [&](const QString &text) {
        *error = text;
        return std::nullopt;
    };
    bool ok = false;
    const double wait = p.value("wait").toDouble(&ok);
    // Written so that NaN fails it too.
    if (!ok || !(wait >= 0 && wait <= 7 * 24 * 3600))
        return fail(QStringLiteral("--wait には 0 以上の秒数を指定してください。"));
    o.waitMs = qint64(wait * 1000);
    o.trace = p.isSet("trace");
    if (p.isSet("answer-limit")) {
        const int limit = p.value("answer-limit").toInt(&ok);
        if (!ok || limit < DeviceAccess::MinAnswerLimitS || limit > DeviceAccess::MaxAnswerLimitS)
            return fail(QStringLiteral("--answer-limit には 5 から 3600 までの秒数を指定してください。"));
        o.answerLimitS = limit;
    }
    if (p.isSet("attempts")) {
        const int n = p.value("attempts").toInt(&ok);
        if (!ok || n < 0 || n > 1000)
            return fail(QStringLiteral("--attempts には 0 から 1000 までの回数を指定してください。"));
        o.attempts = n;
    }
    if (p.isSet("delays")) {
        o.delays = parseDelays(p.value("delays"));
        if (!o.delays)
            return fail(QStringLiteral("--delays は 30s,5m,1h のように、時間をコンマで区切って指定してください。"));
    }
    if (p.isSet("listen") && !parseListen(o.listen))
        return fail(
            QStringLiteral("--listen は 127.0.0.1:8025 や [::1]:8025 のように、アドレスとポートで指定してください。"));
    if (p.isSet("snpp") && !parseListen(o.snpp))
        return fail(
            QStringLiteral("--snpp は 127.0.0.1:4444 や [::1]:4444 のように、アドレスとポートで指定してください。"));
    if (!o.sipPasswordFile.isEmpty()) {
        QString problem;
        const std::optional<QString> password = readPrivateFile(o.sipPasswordFile, &problem);
        if (!password)
            return fail(problem);
        o.sipPassword = *password;
    }

    QStringList positional = p.positionalArguments();
    if ((p.isSet("mail") || p.isSet("sender") || p.isSet("recipient")) &&
        !(isQueueCommand(positional) &&
          (positional[1] == QLatin1String("add") || positional[1] == QLatin1String("ack") ||
           positional[1] == QLatin1String("heartbeat")) &&
          p.isSet("mail")))
        return fail(QStringLiteral("--mail、--sender、--recipient は queue add --mail、queue ack --mail と queue "
                                   "heartbeat --mail で使います。"));
    if (isQueueCommand(positional)) {
        const QString word = positional[1];
        positional = positional.mid(2);
        if (word == QLatin1String("add")) {
            o.command = Options::Command::QueueAdd;
            if (p.isSet("mail")) {
                if (!o.target.number.isEmpty() || !o.target.center.isEmpty() || !positional.isEmpty())
                    return fail(QStringLiteral("--mail はメールを標準入力から読みます。--number、--center "
                                               "とメッセージの引数は使えません。"));
                o.mail = true;
                if (p.isSet("sender"))
                    o.mailSender = p.value("sender");
                o.mailRecipient = p.value("recipient");
                return o;
            }
        } else if (word == QLatin1String("oncall")) {
            o.command = Options::Command::QueueOnCall;
            if (positional.size() > 1)
                return fail(QStringLiteral("queue oncall には名前を 1 つまで指定してください。"));
            o.id = positional.value(0);
            if (p.isSet("at")) {
                const QDateTime at = QDateTime::fromString(p.value("at"), Qt::ISODate);
                if (!at.isValid())
                    return fail(QStringLiteral(
                        "--at は 2026-01-07T10:00 や 2026-01-07T10:00:00+09:00 のように指定してください。"));
                o.at = p.value("at");
            }
            return o;
        } else if (word == QLatin1String("run") || word == QLatin1String("list")) {
            o.command = word == QLatin1String("run") ? Options::Command::QueueRun : Options::Command::QueueList;
            if (o.command != Options::Command::QueueRun &&
                (p.isSet("listen") || p.isSet("token-file") || p.isSet("on-line-down") || p.isSet("on-line-up") ||
                 p.isSet("snpp")))
                return fail(QStringLiteral(
                    "--listen、--token-file、--snpp、--on-line-down、--on-line-up は queue run で使います。"));
            if (!positional.isEmpty())
                return fail(QStringLiteral("queue %1 は引数を取りません。").arg(word));
            return o;
        } else if (word == QLatin1String("ack") && p.isSet("mail")) {
            o.command = Options::Command::QueueAck;
            if (!positional.isEmpty())
                return fail(QStringLiteral("queue ack --mail はメールを標準入力から読みます。ID は付けません。"));
            o.mail = true;
            if (p.isSet("sender"))
                o.mailSender = p.value("sender");
            o.mailRecipient = p.value("recipient");
            return o;
        } else if (word == QLatin1String("heartbeat")) {
            o.command = Options::Command::QueueHeartbeat;
            if (positional.size() != 1)
                return fail(
                    QStringLiteral("queue heartbeat には oncall.ini のハートビートの名前を 1 つ指定してください。"));
            o.id = positional[0];
            o.mail = p.isSet("mail");
            if (p.isSet("sender"))
                o.mailSender = p.value("sender");
            o.mailRecipient = p.value("recipient");
            return o;
        } else if (word == QLatin1String("snpp-user")) {
            o.command = Options::Command::SnppUserAdd;
            if (positional.size() != 2 || positional[0] != QLatin1String("add"))
                return fail(
                    QStringLiteral("queue snpp-user add ユーザー名 としてください（パスワードは標準入力から）。"));
            o.id = positional[1];
            return o;
        } else {
            o.command = word == QLatin1String("retry")  ? Options::Command::QueueRetry
                        : word == QLatin1String("drop") ? Options::Command::QueueDrop
                                                        : Options::Command::QueueAck;
            if (positional.size() != 1)
                return fail(
                    QStringLiteral("queue %1 には ID を 1 つ指定してください（queue list で見られます）。").arg(word));
            o.id = positional[0];
            return o;
        }
    }
    if (p.isSet("listen") || p.isSet("token-file") || p.isSet("snpp"))
        return fail(QStringLiteral("--listen、--token-file、--snpp は queue run で使います。"));
    if (const std::optional<Refused> why = o.target.problem())
        return fail(refusalText({*why, {}, {}}));
    if (!positional.isEmpty()) {
        o.message = positional.join(QLatin1Char(' '));
        o.messageGiven = true;
    }
    return o;
}

QueuedMessage queueDefaults(const Options &o)
{
    QueuedMessage m;
    m.attempts = o.attempts.value_or(QueueSettings::load(o.folder).attempts);
    m.delays = o.delays.value_or(QList<int>());
    m.onSent = o.onSent;
    m.onFailed = o.onFailed;
    return m;
}

QString refusalText(const IntakeRefusal &r)
{
    switch (r.why) {
    case Refused::NoRecipient:
        return QStringLiteral("--to（アドレス帳の名前）か --number（番号）の、どちらか一方を指定してください。");
    case Refused::NumberWithoutCenter:
        return QStringLiteral("--number には --center でセンターの名前を添えてください。");
    case Refused::BadNumber:
        return QStringLiteral("--number の") + r.subject;
    case Refused::UnknownRecipient:
        return r.text + QStringLiteral("名前を確かめるか、--number と --center で番号を指定してください。");
    case Refused::NoCenterForRecipient:
        return r.text + QStringLiteral("--center で指定してください。");
    case Refused::TooLong:
        return r.text + (r.optimized ? QString() : QStringLiteral("--optimize で短くなることがあります。"));
    case Refused::Unsendable:
        return r.text + (r.optimized
                             ? QString()
                             : QStringLiteral("--optimize を付けると、センターの種類に合わせて文字を置き換えます。"));
    case Refused::NoSettings:
        return r.text + QStringLiteral("--folder で、ウィンドウが使うフォルダーを指定してください。");
    case Refused::None:
    case Refused::NoLineForCenter:
    case Refused::DeviceKind:
    case Refused::QueueFull:
    case Refused::Other:
        return r.text;
    }
    return r.text;
}
