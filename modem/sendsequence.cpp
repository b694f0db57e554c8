#include "modem/sendsequence.h"

SendSequence::SendSequence(AppData &data, SerialPort &port, Waiter &waiter, SendView &view)
    : m_data(data), m_port(port), m_waiter(waiter), m_view(view)
{
}

void SendSequence::cmdButton_Click() {}
void SendSequence::cmdREPEAT_Click() {}
void SendSequence::cmdCut_Click() {}
void SendSequence::timTIME_Timer() {}
