#pragma once

#include <QByteArray>

class SerialPort;

// The hang-up command of a device kind: the single byte 0xA4 for the link cable (6), "ATH" CR otherwise.
QByteArray hangUpCommand(int modemKind);

// When the port is open: writes the hang-up command, lets it leave at the call's line settings
// and closes the port. No answer is awaited.
void hangUp(SerialPort &port, int modemKind);
