#pragma once

#include "modem/dtmftones.h"

#include <QObject>
#include <memory>

class ToneOutput;

// Plays touch-tone keys through the default audio output. The audio plugin is
// loaded at the first play; samples are made block by block as the device asks.
class ToneDialer : public QObject
{
    Q_OBJECT
public:
    explicit ToneDialer(QObject *parent = nullptr);
    ~ToneDialer() override;

    // Loads the audio plugin and opens the default output, so the first play starts at
    // once; false with *error when there is none. play() does it when needed.
    bool prepare(QString *error);
    // Starts playing keys (0-9, *, #, A-D; anything else is skipped), replacing what
    // plays; after finished() they follow the keys before without a cut. False with
    // *error when no audio output can be had; then nothing is signalled.
    bool play(const QString &keys, int toneMs, int gapMs, QString *error);
    // Stops at once and lets the audio output go; finished() is not signalled.
    void stop();
    bool isPlaying() const { return m_playing; }

signals:
    void finished();
    void failed(const QString &error);

private:
    class Source;
    std::unique_ptr<ToneOutput> m_output;
    std::unique_ptr<Source> m_source;
    bool m_playing = false;
};
