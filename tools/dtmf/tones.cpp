#include "tones.h"
#include <cstdio>
#include <unistd.h>

#include "modem/dtmftones.h"
#include "modem/tonedialer.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <QtEndian>

namespace
{

void appendLittleEndian(QByteArray &out, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += char((value >> (8 * i)) & 0xFF);
}

// A 16-bit mono PCM WAV file, replaced as a whole.
bool writeWav(const ToneRequest &r, QString *error)
{
    dtmftones::Renderer renderer(r.keys, {r.toneMs, r.gapMs, r.sampleRate});
    const quint32 dataBytes = quint32(renderer.totalSamples() * 2);
    QByteArray out("RIFF");
    appendLittleEndian(out, 36 + dataBytes, 4);
    out += "WAVEfmt ";
    appendLittleEndian(out, 16, 4);
    appendLittleEndian(out, 1, 2); // PCM
    appendLittleEndian(out, 1, 2); // mono
    appendLittleEndian(out, quint32(r.sampleRate), 4);
    appendLittleEndian(out, quint32(r.sampleRate) * 2, 4);
    appendLittleEndian(out, 2, 2);
    appendLittleEndian(out, 16, 2);
    out += "data";
    appendLittleEndian(out, dataBytes, 4);
    const qsizetype header = out.size();
    out.resize(header + dataBytes);
    auto *samples = reinterpret_cast<qint16 *>(out.data() + header);
    const qint64 n = renderer.read(samples, renderer.totalSamples());
    for (qint64 i = 0; i < n; ++i)
        samples[i] = qToLittleEndian(samples[i]);
    QSaveFile file(r.wavPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(r.wavPath, file.errorString());
        return false;
    }
    return true;
}

bool play(const ToneRequest &r, QString *error)
{
    int argc = 1;
    char name[] = "fumidori-dtmf";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    ToneDialer dialer;
    QObject::connect(&dialer, &ToneDialer::finished, &app, [&] { app.exit(0); });
    QObject::connect(&dialer, &ToneDialer::failed, &app, [&](const QString &problem) {
        *error = problem;
        app.exit(1);
    });
    if (!dialer.play(r.keys, r.toneMs, r.gapMs, error))
        return false;
    if (app.exec() != 0)
        return false;
    // Played to the end: nothing is left to write. Qt Multimedia's PulseAudio back end can
    // trip an assertion in libpulse while its global state is torn down at exit, so the
    // process ends here without running the static destructors.
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(0);
}

} // namespace

bool runTones(const ToneRequest &request, QString *error)
{
    return request.wavPath.isEmpty() ? play(request, error) : writeWav(request, error);
}
