#pragma once

#include <QString>

// The tones command: touch-tone keys rendered to a WAV file or played through the
// default audio output.
struct ToneRequest {
    QString keys;
    int toneMs = 100;
    int gapMs = 100;
    int sampleRate = 8000;
    QString wavPath; // empty: play
};

// Renders or plays the request; false with *error.
bool runTones(const ToneRequest &request, QString *error);
