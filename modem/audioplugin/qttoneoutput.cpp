// The tone dialer's audio output on Qt Multimedia: a QAudioSink in pull mode fed
// by a device that makes each block of samples when the sink asks for it.

#include "modem/toneoutput.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>
#include <QObject>

#include <cstring>
#include <memory>

namespace
{

// Samples from the source, then enough silence to push the last of them through the
// sink's buffer, then the end: the sink goes idle only when everything is heard.
class PullDevice : public QIODevice
{
public:
    void begin(ToneSampleSource *source, qint64 tailBytes)
    {
        m_source = source;
        m_tail = tailBytes;
        if (!isOpen())
            open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_source || m_tail > 0 ? 1 << 16 : 0; }

protected:
    qint64 readData(char *data, qint64 maxlen) override
    {
        qint64 bytes = 0;
        qint16 block[1024];
        while (m_source && bytes + 2 <= maxlen) {
            const qint64 n = m_source->read(block, qMin<qint64>(std::size(block), (maxlen - bytes) / 2));
            if (n == 0) {
                m_source = nullptr;
                break;
            }
            std::memcpy(data + bytes, block, size_t(n) * 2);
            bytes += n * 2;
        }
        if (!m_source && m_tail > 0) {
            const qint64 silence = qMin(m_tail, (maxlen - bytes) & ~qint64(1));
            std::memset(data + bytes, 0, size_t(silence));
            bytes += silence;
            m_tail -= silence;
        }
        return bytes;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    ToneSampleSource *m_source = nullptr;
    qint64 m_tail = 0;
};

class QtToneOutput : public QObject, public ToneOutput
{
public:
    QtToneOutput(const QAudioDevice &device, const QAudioFormat &format) : m_device(device), m_format(format) {}
    ~QtToneOutput() override { stop(); }

    int sampleRate() const override { return m_format.sampleRate(); }

    bool start(ToneSampleSource *source, std::function<void(const QString &)> done, QString *error) override
    {
        stop();
        m_sink = std::make_unique<QAudioSink>(m_device, m_format);
        // A short buffer: the first tone starts soon and a stop is heard at once.
        m_sink->setBufferSize(m_format.bytesForDuration(60000));
        connect(m_sink.get(), &QAudioSink::stateChanged, this, &QtToneOutput::stateChanged);
        m_done = std::move(done);
        m_pull.begin(source, m_format.bytesForDuration(120000));
        m_sink->start(&m_pull);
        if (m_sink->error() != QAudio::NoError) {
            *error = describe(m_sink->error());
            m_done = nullptr;
            m_sink.reset();
            return false;
        }
        return true;
    }

    void stop() override
    {
        m_done = nullptr;
        if (m_sink) {
            m_sink->disconnect(this);
            m_sink->reset();
            m_sink->stop();
        }
    }

private:
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
        if (!m_done)
            return;
        QString problem;
        if (state == QAudio::IdleState)
            problem.clear();
        else if (state == QAudio::StoppedState && m_sink->error() != QAudio::NoError)
            problem = describe(m_sink->error());
        else
            return;
        auto done = std::move(m_done);
        m_done = nullptr;
        m_sink->disconnect(this);
        m_sink->stop();
        done(problem);
    }

    QAudioDevice m_device;
    QAudioFormat m_format;
    PullDevice m_pull;
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
