// fumidori-dtmf: the digits a message is dialled as, and back; the message checks
// of the main window on the command line.

#include "encoding/codetable.h"
#include "encoding/textcheck.h"
#include "modem/dtmftones.h"
#include "store/appdata.h"
#include "tones.h"

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
  fumidori-dtmf tones [--tone MS] [--gap MS] [--rate HZ] (--wav FILE | --play) [DIGITS]
  fumidori-dtmf tones [options] (--wav FILE | --play) --text TEXT --kind K [--skip]

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
tones     sounds the keys as touch tones: DIGITS (0-9, * and #, also A-D), or with
          --text the digits of TEXT followed by the end mark of centre kind K.
          --wav writes a 16-bit mono WAV file (a FIFO, a device or /dev/stdout
          in place), --play plays them through the default audio output. Each
          key sounds --tone MS and is followed by --gap MS of silence (40 to
          500, default 100); --rate sets the WAV file's sample rate
          (8000 to 96000, default 8000). A character of TEXT without a code is an
          error unless --skip leaves it out as the mail stage does.

Keying a message into any phone: call the centre, key in its service key and the
recipient's number and "#" when it asks for them, then hold the phone's mouthpiece
to the speaker and run "fumidori-dtmf tones --play --text TEXT --kind K". A line
that takes tone dialling dials the centre's number itself: play it the same way.

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
    // tones
    std::optional<int> tone, gap, rate;
    std::optional<QString> wav, text;
    bool play = false;
};

Arguments parse(const QStringList &args)
{
    Arguments a;
    a.command = args.value(0);
    bool optionsEnded = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        static const QStringList valued{QStringLiteral("--pieces"), QStringLiteral("--kind"), QStringLiteral("--tone"),
                                        QStringLiteral("--gap"),    QStringLiteral("--rate"), QStringLiteral("--wav"),
                                        QStringLiteral("--text")};
        if (!optionsEnded && valued.contains(arg) && i + 1 >= args.size())
            fail(QStringLiteral("%1 needs a value").arg(arg));
        if (!optionsEnded && arg == u"--pieces")
            a.pieces = number(args[++i], arg, 1, SHRT_MAX);
        else if (!optionsEnded && arg == u"--kind")
            a.kind = number(args[++i], arg, -1, 7);
        else if (!optionsEnded && (arg == u"--tone" || arg == u"--gap"))
            (arg == u"--tone" ? a.tone : a.gap) = number(args[++i], arg, tonelength::Minimum, tonelength::Maximum);
        else if (!optionsEnded && arg == u"--rate")
            a.rate = number(args[++i], arg, 8000, 96000);
        else if (!optionsEnded && arg == u"--wav")
            a.wav = args[++i];
        else if (!optionsEnded && arg == u"--text")
            a.text = args[++i];
        else if (!optionsEnded && arg == u"--play")
            a.play = true;
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
                                      QStringLiteral("count"), QStringLiteral("tones")};
    if (!commands.contains(a.command))
        fail(QStringLiteral("unknown command \"%1\" (see --help)").arg(a.command));
    const bool toneOptions = a.tone || a.gap || a.rate || a.wav || a.text || a.play;
    if (a.command != u"tones" && toneOptions)
        fail(QStringLiteral("--tone, --gap, --rate, --wav, --play and --text belong to tones"));
    if (a.command == u"tones") {
        if (bool(a.wav) == a.play)
            fail(QStringLiteral("tones needs either --wav FILE or --play"));
        if (a.rate && a.play)
            fail(QStringLiteral("--rate belongs to --wav (--play uses the rate of the audio output)"));
        if (a.text && a.input)
            fail(QStringLiteral("tones takes --text TEXT or DIGITS, not both"));
        if (a.text && !a.kind)
            fail(QStringLiteral("--text needs --kind K for the end mark"));
        if (!a.text && (a.kind || a.skip))
            fail(QStringLiteral("tones takes --kind and --skip with --text"));
    }
    if (a.pieces && a.command != u"encode")
        fail(QStringLiteral("--pieces belongs to encode"));
    if (a.skip && a.command != u"encode" && a.command != u"tones")
        fail(QStringLiteral("--skip belongs to encode and tones --text"));
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

void tones(const Arguments &a, const QString &input)
{
    ToneRequest request;
    if (a.text) {
        if (!a.skip)
            requireCodes(*a.text);
        request.keys = messagePieces(*a.text, INT_MAX).join(QString()) + endMark(*a.kind);
    } else {
        request.keys = input;
        const qsizetype bad = dtmftones::firstNonKey(input);
        if (bad >= 0)
            fail(QStringLiteral("\"%1\" at %2 is no touch-tone key (0-9, *, #, A-D)").arg(input[bad]).arg(bad + 1));
        if (input.isEmpty())
            fail(QStringLiteral("no keys to sound"));
    }
    request.toneMs = a.tone.value_or(tonelength::Default);
    request.gapMs = a.gap.value_or(tonelength::Default);
    request.sampleRate = a.rate.value_or(8000);
    request.wavPath = a.wav.value_or(QString());
    QString error;
    if (!runTones(request, &error))
        fail(error);
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
    const QString input = a.input ? *a.input : a.text ? QString() : readStandardInput();
    if (a.command == u"tones")
        tones(a, input);
    else if (a.command == u"encode")
        encode(a, input);
    else if (a.command == u"decode")
        decode(input);
    else if (a.command == u"optimize")
        print(textcheck::optimize(*a.kind, input));
    else
        print(QString::number(textcheck::count(input, *a.kind)));
    return 0;
}
