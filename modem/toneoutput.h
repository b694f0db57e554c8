#pragma once

#include <QString>
#include <QtPlugin>
#include <functional>

// The sound card behind the tone dialer. The implementation lives in a plugin that
// links Qt Multimedia and is loaded at the first tone (ToneDialer), so neither the
// window's start nor the command-line tools pay for those libraries.

// Samples handed to the output as the device asks for them.
class ToneSampleSource
{
public:
    virtual ~ToneSampleSource() = default;
    // Writes up to max 16-bit mono samples; 0 once there are no more.
    virtual qint64 read(qint16 *out, qint64 max) = 0;
};

// One playback on the default audio output. Lives on the thread that made it and
// reports through its event loop.
class ToneOutput
{
public:
    virtual ~ToneOutput() = default;
    // The rate the samples must have.
    virtual int sampleRate() const = 0;
    // Starts pulling samples from source (which must outlive the playback). done is
    // called once after the last sample has been played, with an empty text, or with
    // a description when the device fails. False with *error when nothing can start.
    virtual bool start(ToneSampleSource *source, std::function<void(const QString &error)> done, QString *error) = 0;
    // Silence at once; done is not called.
    virtual void stop() = 0;
};

class ToneOutputFactory
{
public:
    virtual ~ToneOutputFactory() = default;
    // A new output on the default device, or nullptr with *error.
    virtual ToneOutput *create(QString *error) = 0;
};

#define ToneOutputFactory_iid "org.fumidori.ToneOutputFactory/1"
Q_DECLARE_INTERFACE(ToneOutputFactory, ToneOutputFactory_iid)
