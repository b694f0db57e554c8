#pragma once

#include "support/consolefrontend.h"
#include "support/fakeport.h"
#include "support/virtualwaiter.h"

#include "modem/modemline.h"
#include "modem/sendengine.h"
#include "store/appdata.h"

// The send engine on a modem line over the fake port and virtual time, with the
// console front end: what the engine's unit tests build their rigs on.
struct EngineRig {
    AppData data;
    FakePort port;
    VirtualWaiter waiter;
    ModemLine line{data.settings, port, waiter};
    SingleLine lines{line};
    ConsoleFrontEnd view{data};
    SendEngine engine{data, lines, view};
};
