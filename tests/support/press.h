#pragma once

// The send button pressed as a person presses it: the next press once the last one (and
// the stages it ran) is over.
#include "modem/sendengine.h"

#include <QSignalSpy>

#include <functional>

// Runs press (a click, a call of send()) and waits until the engine has settled; at once
// when nothing was left running. False when it did not settle within ms.
inline bool pressAndSettle(SendEngine &engine, const std::function<void()> &press, int ms = 20000)
{
    QSignalSpy settled(&engine, &SendEngine::settled);
    press();
    return !engine.busy() || !settled.isEmpty() || settled.wait(ms);
}

// Presses until the call is done or the line is gone, at most `most` times.
inline void pressThrough(SendEngine &engine, const std::function<void()> &press, int most = 6, int ms = 20000)
{
    for (int i = 0; i < most && engine.stage() != SendStage::Done; ++i)
        if (!pressAndSettle(engine, press, ms) || (!engine.lineOpen() && engine.stage() != SendStage::Done))
            return;
}
