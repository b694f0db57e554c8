#include "modem/dtmftones.h"

#include <cmath>
#include <numbers>

namespace dtmftones
{
namespace
{

constexpr int LowGroup[] = {697, 770, 852, 941};
constexpr int HighGroup[] = {1209, 1336, 1477, 1633};
constexpr char Keypad[4][5] = {"123A", "456B", "789C", "*0#D"};

// Low group at about -13 dBFS, high group 2 dB above it: the two together peak
// at a little over half of full scale.
constexpr double LowAmplitude = 7250.0;
const double HighAmplitude = LowAmplitude * std::pow(10.0, 2.0 / 20.0);

} // namespace

bool frequencies(QChar key, int *low, int *high)
{
    const char c = char(key.toUpper().toLatin1());
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            if (c != 0 && Keypad[row][column] == c) {
                *low = LowGroup[row];
                *high = HighGroup[column];
                return true;
            }
        }
    }
    return false;
}

qsizetype firstNonKey(const QString &keys)
{
    int low, high;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (!frequencies(keys[i], &low, &high))
            return i;
    }
    return -1;
}

Renderer::Renderer(const QString &keys, const Timing &timing)
    : m_toneSamples(qint64(timing.toneMs) * timing.sampleRate / 1000),
      m_gapSamples(qint64(timing.gapMs) * timing.sampleRate / 1000),
      m_rampSamples(qMax<qint64>(1, qint64(RampMs) * timing.sampleRate / 1000)), m_rate(timing.sampleRate)
{
    int low, high;
    for (QChar key : keys) {
        if (frequencies(key, &low, &high))
            m_keys += key;
    }
}

qint64 Renderer::read(qint16 *out, qint64 max)
{
    const qint64 perKey = m_toneSamples + m_gapSamples;
    qint64 written = 0;
    while (written < max && m_position < totalSamples()) {
        const qint64 key = m_position / perKey;
        const qint64 inKey = m_position % perKey;
        const qint64 count = qMin(max - written, (inKey < m_toneSamples ? m_toneSamples : perKey) - inKey);
        if (inKey >= m_toneSamples) {
            std::fill_n(out + written, count, qint16(0));
        } else {
            int low, high;
            frequencies(m_keys[key], &low, &high);
            const double lowStep = 2 * std::numbers::pi * low / m_rate;
            const double highStep = 2 * std::numbers::pi * high / m_rate;
            for (qint64 n = inKey; n < inKey + count; ++n) {
                // Raised-cosine ramps over the first and last samples of the tone.
                const qint64 edge = qMin(n, m_toneSamples - 1 - n);
                const double gain = edge >= m_rampSamples
                                        ? 1.0
                                        : 0.5 - 0.5 * std::cos(std::numbers::pi * (edge + 1) / (m_rampSamples + 1));
                const double value = LowAmplitude * std::sin(lowStep * n) + HighAmplitude * std::sin(highStep * n);
                out[written + n - inKey] = qint16(std::lround(gain * value));
            }
        }
        written += count;
        m_position += count;
    }
    return written;
}

} // namespace dtmftones
