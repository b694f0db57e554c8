#include "modem/tonedialer.h"

#include "modem/toneoutput.h"
#include "store/plugins.h"

namespace
{

constexpr char PluginFile[] = "fumidori-audio.so";

// The factory of the first plugin that loads, kept for the rest of the run.
ToneOutputFactory *factory(QString *error)
{
    static ToneOutputFactory *loaded = nullptr;
    if (loaded)
        return loaded;
    QStringList problems;
    loaded = qobject_cast<ToneOutputFactory *>(loadPlugin(QLatin1String(PluginFile), &problems));
    if (loaded)
        return loaded;
    *error = QStringLiteral("音声出力を使えません：") + pluginProblem(QLatin1String(PluginFile), problems);
    return nullptr;
}

} // namespace

class ToneDialer::Source : public ToneSampleSource
{
public:
    Source(const QString &keys, const dtmftones::Timing &timing) : renderer(keys, timing) {}
    qint64 read(qint16 *out, qint64 max) override { return renderer.read(out, max); }
    dtmftones::Renderer renderer;
};

ToneDialer::ToneDialer(QObject *parent) : QObject(parent) {}

ToneDialer::~ToneDialer()
{
    stop();
}

bool ToneDialer::prepare(QString *error)
{
    if (m_output)
        return true;
    ToneOutputFactory *f = factory(error);
    if (f)
        m_output.reset(f->create(error));
    return bool(m_output);
}

bool ToneDialer::play(const QString &keys, int toneMs, int gapMs, QString *error)
{
    // Keys still playing are cut off; keys that have just been taken by the output
    // are still heard, before these.
    if (m_playing)
        stop();
    if (!prepare(error))
        return false;
    m_source = std::make_unique<Source>(keys, dtmftones::Timing{toneMs, gapMs, m_output->sampleRate()});
    const bool started = m_output->start(
        m_source.get(),
        [this](const QString &problem) {
            m_playing = false;
            if (problem.isEmpty())
                emit finished();
            else
                emit failed(problem);
        },
        error);
    m_playing = started;
    return started;
}

void ToneDialer::stop()
{
    if (m_output)
        m_output->stop();
    m_playing = false;
}
