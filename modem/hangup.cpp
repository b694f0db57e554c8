#include "modem/hangup.h"

#include "modem/serialport.h"

QByteArray hangUpCommand(int modemKind)
{
    return modemKind == 6 ? QByteArray(1, char(0xA4)) : QByteArrayLiteral("ATH\r");
}

void hangUp(SerialPort &port, int modemKind)
{
    if (!port.isOpen())
        return;
    port.output(hangUpCommand(modemKind));
    port.drain();
    port.setPortOpen(false);
}
