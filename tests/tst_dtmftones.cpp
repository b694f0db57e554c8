#include "modem/dtmftones.h"
#include "support/table.h"

#include <QTest>

#include <cmath>
#include <numbers>

// The tone generator's samples measured directly: which frequencies sound, for how
// long, how loud, and how each tone starts and ends. Lengths below what a decoder
// such as multimon-ng can tell apart are checked here.
namespace
{

struct Segment {
    qint64 start, end; // samples, end exclusive
};

// Runs of sound separated by at least a millisecond of digital silence.
QList<Segment> segments(const QList<qint16> &samples, int rate)
{
    QList<Segment> out;
    const qint64 quiet = rate / 1000;
    qint64 start = -1, zeros = 0;
    for (qint64 i = 0; i < samples.size(); ++i) {
        if (samples[i] != 0) {
            if (start < 0)
                start = i;
            zeros = 0;
        } else if (start >= 0 && ++zeros >= quiet) {
            out.append({start, i - zeros + 1});
            start = -1;
        }
    }
    if (start >= 0)
        out.append({start, samples.size() - zeros});
    return out;
}

// The strongest frequency from low to high Hz in 1 Hz steps (Goertzel over the
// Hann-windowed segment), and its amplitude.
double peak(const qint16 *x, qint64 n, int low, int high, int rate, double *level)
{
    QList<double> windowed(n);
    double windowSum = 0;
    for (qint64 i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n - 1));
        windowed[i] = hann * x[i];
        windowSum += hann;
    }
    double best = 0, bestPower = -1;
    for (int f = low; f <= high; ++f) {
        const double w = 2 * std::numbers::pi * f / rate;
        const double coefficient = 2 * std::cos(w);
        double s1 = 0, s2 = 0;
        for (double v : windowed) {
            const double s0 = v + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        if (power > bestPower) {
            bestPower = power;
            best = f;
        }
    }
    *level = 2 * std::sqrt(bestPower) / windowSum;
    return best;
}

} // namespace

using KeysAndTiming = table::Of<int, int, int>;

class tst_dtmftones : public QObject
{
    Q_OBJECT
private slots:
    void keysAndTiming_data()
    {
        const KeysAndTiming row;
        row("shortest at 8 kHz", 40, 40, 8000);
        row("shortest at 48 kHz", 40, 40, 48000);
        row("default", 100, 100, 8000);
        row("short tone long gap at 44.1 kHz", 60, 200, 44100);
        row("longest tone", 500, 40, 22050);
    }
    void keysAndTiming()
    {
        const auto [toneMs, gapMs, rate] = KeysAndTiming::row();
        // ITU-T Q.23: the keypad's rows at 697 770 852 941 Hz, its columns at 1209 1336 1477 1633 Hz.
        const QString keys = QStringLiteral("123A456B789C*0#d");
        const int rowHz[] = {697, 770, 852, 941}, columnHz[] = {1209, 1336, 1477, 1633};
        dtmftones::Renderer renderer(keys, {toneMs, gapMs, rate});
        // Read in uneven blocks, as an audio device asks.
        QList<qint16> samples(renderer.totalSamples() + 1000);
        qint64 got = 0;
        for (qint64 block = 1; got < samples.size(); block = block * 3 + 1) {
            const qint64 n = renderer.read(samples.data() + got, qMin(block, samples.size() - got));
            if (n == 0)
                break;
            got += n;
        }
        samples.resize(got);
        QCOMPARE(got, qint64(keys.size()) * (qint64(toneMs) + gapMs) * rate / 1000);

        const QList<Segment> tones = segments(samples, rate);
        QCOMPARE(tones.size(), keys.size());
        const double msPerSample = 1000.0 / rate;
        qint16 loudest = 0;
        for (qsizetype i = 0; i < tones.size(); ++i) {
            const Segment &t = tones[i];
            QVERIFY2(std::abs((t.end - t.start) * msPerSample - toneMs) <= 2, qPrintable(QString(keys[i])));
            const qint64 nextStart = i + 1 < tones.size() ? tones[i + 1].start : got + tones[0].start;
            QVERIFY(std::abs((nextStart - t.end) * msPerSample - gapMs) <= 2);
            const qint16 *x = samples.constData() + t.start;
            const qint64 n = t.end - t.start;
            double lowLevel, highLevel;
            const double low = peak(x, n, 650, 1000, rate, &lowLevel);
            const double high = peak(x, n, 1150, 1700, rate, &highLevel);
            QVERIFY2(std::abs(low / rowHz[i / 4] - 1) <= 0.015,
                     qPrintable(QStringLiteral("%1: low %2").arg(keys[i]).arg(low)));
            QVERIFY2(std::abs(high / columnHz[i % 4] - 1) <= 0.015,
                     qPrintable(QStringLiteral("%1: high %2").arg(keys[i]).arg(high)));
            // The high group about 2 dB above the low group.
            const double twist = 20 * std::log10(highLevel / lowLevel);
            QVERIFY2(twist > 1 && twist < 3, qPrintable(QString::number(twist)));
            // Ramps: each tone starts and ends near silence, no step to click.
            for (qint64 edge : {t.start, t.end - 1})
                QVERIFY(std::abs(samples[edge]) < 1500);
            for (qint64 j = t.start; j < t.end; ++j)
                loudest = qMax<qint16>(loudest, qint16(std::abs(samples[j])));
        }
        // Well below clipping, yet loud enough to carry over a phone.
        QVERIFY2(loudest < 32767 * 0.71 && loudest > 32767 * 0.25, qPrintable(QString::number(loudest)));
    }

    void nonKeysAreSkipped()
    {
        dtmftones::Renderer withJunk(QStringLiteral("1x2"), {40, 40, 8000});
        dtmftones::Renderer clean(QStringLiteral("12"), {40, 40, 8000});
        QCOMPARE(withJunk.totalSamples(), clean.totalSamples());
        QCOMPARE(dtmftones::firstNonKey(QStringLiteral("12#x")), 3);
        QCOMPARE(dtmftones::firstNonKey(QStringLiteral("0123456789*#abcdABCD")), -1);
    }
};

QTEST_GUILESS_MAIN(tst_dtmftones)
#include "tst_dtmftones.moc"
