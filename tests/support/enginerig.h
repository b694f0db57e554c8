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
    int noCarrierAt = -1; // the 0-based write the device answers with NO CARRIER; -1: none

    // The built-in settings with a full history, a centre "C" of the kind and waits given,
    // and a recipient "R" of it.
    void oneCentre(int kind, int waits, const QString &number = QStringLiteral("0570000111"),
                   const QString &recipient = QStringLiteral("09012345678"))
    {
        data.settings = Settings::defaults();
        data.history.resize(data.settings.HistoryCount);
        const qint16 wait = qint16(waits);
        data.centers << MessageCenter{QStringLiteral("C"), qint16(kind), number, 160, wait, wait, wait};
        data.recipients << Recipient{QStringLiteral("R"), 0, recipient};
    }
    // The device answers every command but the hang-up with OK (or NO CARRIER) after ms.
    void answerCommands(int ms = 100)
    {
        port.onWrite = [this, ms](const QByteArray &bytes) {
            if (!bytes.endsWith('\r') || bytes.startsWith("ATH\r"))
                return;
            const QByteArray answer = port.writes.size() - 1 == noCarrierAt ? "\r\nNO CARRIER\r\n" : "\r\nOK\r\n";
            waiter.after(ms, [this, answer] { port.receive(answer); });
        };
    }
    // Presses the send button, each time until nothing waits on the virtual clock.
    void press(int times = 1)
    {
        for (int i = 0; i < times; ++i) {
            engine.send();
            waiter.run();
        }
    }
};
