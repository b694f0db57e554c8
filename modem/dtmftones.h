#pragma once

#include <QString>
#include <QtGlobal>

// Touch-tone keys as sound: each key a pair of sine tones (one of the low group
// 697/770/852/941 Hz, one of the high group 1209/1336/1477/1633 Hz), the high one
// about 2 dB louder, with short raised-cosine ramps at both ends so no click is
// heard, and a silent gap after every key. The peak stays near half of full scale.
namespace dtmftones
{

inline constexpr int RampMs = 3;

struct Timing {
    int toneMs = 100;
    int gapMs = 100;
    int sampleRate = 8000;
};

// The key's low and high frequency in Hz; false for a character that is no key
// (keys are 0-9, *, # and A-D, the letters also in lower case).
bool frequencies(QChar key, int *low, int *high);

// The first character of keys that is no key, or -1.
qsizetype firstNonKey(const QString &keys);

// Produces the 16-bit mono samples of a key sequence block by block, as an audio
// device asks for them; nothing is rendered ahead.
class Renderer
{
public:
    // Characters that are no key are skipped.
    Renderer(const QString &keys, const Timing &timing);

    // Writes up to max samples; returns how many, 0 once every key and gap is out.
    qint64 read(qint16 *out, qint64 max);

    qint64 totalSamples() const { return m_keys.size() * (m_toneSamples + m_gapSamples); }
    qint64 position() const { return m_position; }

private:
    QString m_keys;
    qint64 m_toneSamples;
    qint64 m_gapSamples;
    qint64 m_rampSamples;
    int m_rate;
    qint64 m_position = 0;
};

} // namespace dtmftones
