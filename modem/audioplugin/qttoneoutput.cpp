// The tone dialer's audio output on Qt Multimedia: a QAudioSink in pull mode fed
// by a device that makes each block of samples when the sink asks for it.

#include "modem/toneoutput.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>
#include <QObject>
#include <QTimer>

#include <cstring>
#include <memory>

namespace
{

// The samples of the source playing, nothing between two sources.
class PullDevice : public QIODevice
{
public:
    std::function<void()> lastSampleTaken;

    void begin(ToneSampleSource *source)
    {
        m_source = source;
        if (!isOpen())
            open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        emit readyRead();
    }
    void end() { m_source = nullptr; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_source ? 1 << 16 : 0; }

protected:
    qint64 readData(char *data, qint64 maxlen) override
    {
        qint64 bytes = 0;
        qint16 block[1024];
        while (m_source && bytes + 2 <= maxlen) {
            const qint64 n = m_source->read(block, qMin<qint64>(std::size(block), (maxlen - bytes) / 2));
            if (n == 0) {
                m_source = nullptr;
                lastSampleTaken();
                break;
            }
            std::memcpy(data + bytes, block, size_t(n) * 2);
            bytes += n * 2;
        }
        return bytes;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    ToneSampleSource *m_source = nullptr;
};

// One sink for a whole call: each start queues its samples behind what still plays, so
// the keys of the next stage never cut into the last ones of the stage before.
class QtToneOutput : public QObject, public ToneOutput
{
public:
    QtToneOutput(const QAudioDevice &device, const QAudioFormat &format) : m_device(device), m_format(format)
    {
        m_pull.lastSampleTaken = [this] { m_heard.start(); };
        m_heard.setSingleShot(true);
        m_heard.setInterval(HeardAfterMs);
        connect(&m_heard, &QTimer::timeout, this, [this] { finish(QString()); });
    }
    ~QtToneOutput() override { stop(); }

    int sampleRate() const override { return m_format.sampleRate(); }

    bool start(ToneSampleSource *source, std::function<void(const QString &)> done, QString *error) override
    {
        m_heard.stop();
        m_done = std::move(done);
        m_pull.begin(source);
        if (m_sink && m_sink->state() != QAudio::StoppedState)
            return true;
        m_sink = std::make_unique<QAudioSink>(m_device, m_format);
        // A short buffer: the first tone starts soon and a stop is heard at once.
        m_sink->setBufferSize(m_format.bytesForDuration(BufferUs));
        connect(m_sink.get(), &QAudioSink::stateChanged, this, &QtToneOutput::stateChanged);
        m_sink->start(&m_pull);
        if (m_sink->error() != QAudio::NoError) {
            *error = describe(m_sink->error());
            stop();
            return false;
        }
        return true;
    }

    void stop() override
    {
        m_done = nullptr;
        m_heard.stop();
        m_pull.end();
        if (m_sink) {
            m_sink->disconnect(this);
            m_sink->reset();
            m_sink->stop();
            m_sink.reset();
        }
    }

private:
    // The sink's buffer, and the time the last sample taken needs to come out of it
    // and the sound server. The sink's own idle state is no guide: it also means the
    // server ran dry on a busy machine, and a quiet server reports it late.
    static constexpr int BufferUs = 100000;
    static constexpr int HeardAfterMs = 160;

    static QString describe(QAudio::Error error)
    {
        switch (error) {
        case QAudio::OpenError:
            return QStringLiteral("音声の出力装置を開けません。");
        case QAudio::IOError:
            return QStringLiteral("音声の出力装置に書き込めません。");
        case QAudio::FatalError:
            return QStringLiteral("音声の出力装置が使えなくなりました。");
        default:
            return QStringLiteral("音声の出力に失敗しました。");
        }
    }

    void stateChanged(QAudio::State state)
    {
        if (state == QAudio::StoppedState && m_sink->error() != QAudio::NoError) {
            const QString problem = describe(m_sink->error());
            m_sink->disconnect(this);
            m_sink.release()->deleteLater();
            finish(problem);
        }
    }

    void finish(const QString &problem)
    {
        if (auto done = std::exchange(m_done, nullptr))
            done(problem);
    }

    QAudioDevice m_device;
    QAudioFormat m_format;
    PullDevice m_pull;
    QTimer m_heard;
    std::unique_ptr<QAudioSink> m_sink;
    std::function<void(const QString &)> m_done;
};

} // namespace

class QtToneOutputFactory : public QObject, public ToneOutputFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ToneOutputFactory_iid)
    Q_INTERFACES(ToneOutputFactory)
public:
    ToneOutput *create(QString *error) override
    {
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) {
            *error = QStringLiteral("音声の出力装置が見つかりません。");
            return nullptr;
        }
        QAudioFormat format;
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        format.setSampleRate(48000);
        const int preferred = device.preferredFormat().sampleRate();
        if (preferred > 0) {
            format.setSampleRate(preferred);
            if (!device.isFormatSupported(format))
                format.setSampleRate(48000);
        }
        if (!device.isFormatSupported(format)) {
            *error = QStringLiteral("音声の出力装置が 16 ビット・モノラルの音を受け付けません。");
            return nullptr;
        }
        return new QtToneOutput(device, format);
    }
};

#include "qttoneoutput.moc"
