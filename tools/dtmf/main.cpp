// fumidori-dtmf: the digits a message is dialled as, and back; the message checks
// of the main window on the command line.

#include "encoding/codetable.h"
#include "encoding/textcheck.h"

#include <QStringDecoder>
#include <QStringList>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace
{

const char kHelp[] = R"(Usage:
  fumidori-dtmf encode [--pieces N] [--kind K] [--skip] [TEXT]
  fumidori-dtmf decode [DIGITS]
  fumidori-dtmf optimize --kind K [TEXT]
  fumidori-dtmf count --kind K [TEXT]

encode    prints the touch-tone digits a message is dialled as: on one line, or one
          line per piece of N characters with --pieces; --kind adds the end mark of
          centre kind K ("#" for kind 7, "##" for the others). A character with
          neither code below is named with its position, and nothing is printed
          (exit status 2); --skip leaves such characters out instead, as the
          main window does when it sends.
decode    prints the text of a digit string (a piece or a whole message, with or
          without its end mark; pieces may come one per line).
optimize  prints TEXT as the optimiser of centre kind K rewrites it.
count     prints the length of TEXT as the main window counts it for centre kind K
          (characters for kinds 0 and 1, Shift-JIS bytes for the others).

Centre kinds: 0 NTT DoCoMo, 1 NTT DoCoMo (katakana only), 2 J-PHONE, 3 au (IDO),
4 TuKa, 5 DDI (P-mail), 6 Astel, 7 J-PHONE(2), -1 none.

Two code systems share one digit string:
  free-word codes   two digits, row and column of a 10 x 10 grid of half-width
                    katakana, capitals A-Z, digits, space and ( ) * # ? ! - / & and
                    the backslash (yen sign); "*2*2" opens each run of them.
  row/cell codes    "#" and four digits, the JIS X 0208 row and cell of a
                    full-width character (symbols, full-width letters and digits,
                    hiragana, katakana, Greek, Cyrillic, first-level kanji).
Characters with neither code (lower-case letters, the full stop, ...) cannot be
sent; optimize rewrites many of them into characters that have a code (a to A).
A line break counts as CR LF, two characters.

Without TEXT or DIGITS the input is read from standard input (one final line break
is dropped). Text is UTF-8. Bad input or arguments: exit status 2.
)";

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "fumidori-dtmf: %s\n", message.toUtf8().constData());
    std::exit(2);
}

void print(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

QString fromUtf8(const QByteArray &bytes, const char *what)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        fail(QStringLiteral("%1 is not valid UTF-8").arg(QLatin1String(what)));
    return text;
}

QString readStandardInput()
{
    QByteArray bytes;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        bytes.append(buffer, qsizetype(n));
    if (bytes.endsWith('\n'))
        bytes.chop(bytes.endsWith("\r\n") ? 2 : 1);
    return fromUtf8(bytes, "the standard input");
}

int number(const QString &text, const QString &option, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        fail(QStringLiteral("%1 takes a number from %2 to %3, not \"%4\"").arg(option).arg(low).arg(high).arg(text));
    return value;
}

struct Arguments {
    QString command;
    std::optional<int> pieces;
    std::optional<int> kind;
    bool skip = false;
    std::optional<QString> input;
};

Arguments parse(const QStringList &args)
{
    Arguments a;
    a.command = args.value(0);
    bool optionsEnded = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        const bool takesValue = arg == u"--pieces" || arg == u"--kind";
        if (!optionsEnded && takesValue && i + 1 >= args.size())
            fail(QStringLiteral("%1 needs a value").arg(arg));
        if (!optionsEnded && arg == u"--pieces")
            a.pieces = number(args[++i], arg, 1, SHRT_MAX);
        else if (!optionsEnded && arg == u"--kind")
            a.kind = number(args[++i], arg, -1, 7);
        else if (!optionsEnded && arg == u"--skip")
            a.skip = true;
        else if (!optionsEnded && arg == u"--")
            optionsEnded = true;
        else if (!optionsEnded && arg.startsWith(u"--"))
            fail(QStringLiteral("unknown option %1").arg(arg));
        else if (a.input)
            fail(QStringLiteral("one TEXT or DIGITS argument only (quote text with spaces)"));
        else
            a.input = arg;
    }
    return a;
}

void check(const Arguments &a)
{
    static const QStringList commands{QStringLiteral("encode"), QStringLiteral("decode"), QStringLiteral("optimize"),
                                      QStringLiteral("count")};
    if (!commands.contains(a.command))
        fail(QStringLiteral("unknown command \"%1\" (see --help)").arg(a.command));
    if (a.pieces && a.command != u"encode")
        fail(QStringLiteral("--pieces belongs to encode"));
    if (a.skip && a.command != u"encode")
        fail(QStringLiteral("--skip belongs to encode"));
    if (a.kind && a.command == u"decode")
        fail(QStringLiteral("decode takes no --kind"));
    if (!a.kind && (a.command == u"optimize" || a.command == u"count"))
        fail(QStringLiteral("%1 needs --kind K").arg(a.command));
}

// Fails naming every character (1-based position) that has no code, unless told to skip them.
void requireCodes(const QString &text)
{
    QStringList missing;
    int position = 0;
    for (qsizetype i = 0; i < text.size(); i += text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1) {
        ++position;
        const QString ch = text.mid(i, text[i].isHighSurrogate() ? 2 : 1);
        // A line break is sent as CR LF.
        const QStringList sent =
            ch == u"\n" ? QStringList{QStringLiteral("\r"), QStringLiteral("\n")} : QStringList{ch};
        const bool coded =
            std::all_of(sent.begin(), sent.end(), [](const QString &c) { return !CharToCode(c).isEmpty(); });
        if (!coded)
            missing << QStringLiteral("\"%1\" (%2)").arg(ch == u"\n" ? QStringLiteral("\\n") : ch).arg(position);
    }
    if (!missing.isEmpty())
        fail(QStringLiteral("no code for %1; \"optimize --kind K\" rewrites many such characters, "
                            "--skip leaves them out")
                 .arg(missing.join(QStringLiteral(", "))));
}

void encode(const Arguments &a, const QString &text)
{
    if (!a.skip)
        requireCodes(text);
    const QStringList pieces = messagePieces(text, a.pieces.value_or(INT_MAX));
    const QString mark = a.kind ? endMark(*a.kind) : QString();
    if (!a.pieces) {
        print(pieces.join(QString()) + mark);
        return;
    }
    for (const QString &piece : pieces)
        print(piece);
    if (a.kind)
        print(mark);
}

void decode(const QString &digits)
{
    const DecodeResult result = decodeDigits(digits);
    if (!result.ok())
        fail(QStringLiteral("digit %1: %2").arg(result.errorPosition + 1).arg(result.error));
    print(result.text);
}

} // namespace

int main(int argc, char **argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(fromUtf8(QByteArray(argv[i]), "an argument"));
    const QStringList options = args.mid(0, args.indexOf(QStringLiteral("--")));
    if (options.contains(QStringLiteral("--help")) || options.contains(QStringLiteral("-h"))) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (args.isEmpty())
        fail(QStringLiteral("a command is needed (see --help)"));
    const Arguments a = parse(args);
    check(a);
    const QString input = a.input ? *a.input : readStandardInput();
    if (a.command == u"encode")
        encode(a, input);
    else if (a.command == u"decode")
        decode(input);
    else if (a.command == u"optimize")
        print(textcheck::optimize(*a.kind, input));
    else
        print(QString::number(textcheck::count(input, *a.kind)));
    return 0;
}
