#pragma once

#include <QString>

// Whom a message goes to, as the command line, the queue's intakes and the queue name it.
struct Target {
    QString to;     // a recipient's name in the address book
    QString number; // or a number not in it (with center)
    QString center; // a centre's name; empty: the recipient's own
    bool optimize = false;
};
