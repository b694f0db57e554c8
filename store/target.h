#pragma once

#include "store/refusal.h"

#include <QString>
#include <optional>

// Whom a message goes to, as the command line, the queue's intakes and the queue name it.
struct Target {
    QString to;     // a recipient's name in the address book
    QString number; // or a number not in it (with center)
    QString center; // a centre's name; empty: the recipient's own
    bool optimize = false;

    // Who a message may go to: a name, or a number with its centre; nullopt when it can.
    std::optional<Refused> problem() const
    {
        if (to.isEmpty() == number.isEmpty())
            return Refused::NoRecipient;
        if (!number.isEmpty() && center.isEmpty())
            return Refused::NumberWithoutCenter;
        return std::nullopt;
    }
};
