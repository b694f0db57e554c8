#pragma once

#include "options.h"
#include "prepare.h"
#include "store/sendqueue.h"

#include <variant>

// A message as "queue add" queues it, after the checks it makes before anything is
// queued (what can never be sent is refused while the caller can still say so): ready
// for sendqueue::add, or the refusal. Every intake queues through this.
std::variant<QueuedMessage, Outcome> messageToQueue(const Options &o, const Target &target, const QString &text,
                                                    const DeviceAccess &access);
