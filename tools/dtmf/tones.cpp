#include "tones.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "modem/dtmftones.h"
#include "modem/tonedialer.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QtEndian>

namespace
{

void appendLittleEndian(QByteArray &out, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += char((value >> (8 * i)) & 0xFF);
}

// A FIFO, a device or a standard stream (/dev/stdout, /dev/fd/N) is written where it is:
// replacing it would put a file where the reader is not looking.
bool writesInPlace(const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return true;
    return path.startsWith(QLatin1String("/dev/")) || path.startsWith(QLatin1String("/proc/"));
}

bool writeInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    // A standard stream that goes to a file starts that file afresh, as "> /dev/stdout" does.
    struct stat st = {};
    const QByteArray name = QFile::encodeName(path);
    const int truncate = ::stat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) ? O_TRUNC : 0;
    const int fd = ::open(name.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC | truncate);
    qsizetype done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const int saved = errno;
    if (fd >= 0 && ::close(fd) != 0 && done == bytes.size())
        done = -1;
    if (fd >= 0 && done == bytes.size())
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(saved)));
    return false;
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
    if (writesInPlace(r.wavPath))
        return writeInPlace(r.wavPath, out, error);
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
