#pragma once

#include "gateway/prepare.h"
#include "store/sendqueue.h"

#include <optional>
#include <variant>

// A message as "queue add" queues it, after the checks its send will make (what can
// never be sent is refused while the one who hands it in can still say so): m, with
// its recipient and text from target and text, ready for sendqueue::add; or the
// refusal. m brings the queue's settings (attempts, delays, hooks). With TextFit::Fit
// the text stored is the one fitted to the centre. Every intake queues through this.
std::variant<QueuedMessage, Outcome> messageToQueue(const QString &folder, const Target &target, const QString &text,
                                                    const DeviceAccess &access, QueuedMessage m,
                                                    TextFit fit = TextFit::Refuse);

struct QueueAddResult {
    QString id;                     // queued
    std::optional<Outcome> refusal; // the message can never go (BadInput)
    QString notStored;              // the queue could not be written: why
};

// messageToQueue, then written into the folder's queue (renamed in whole).
QueueAddResult addToQueue(const QString &folder, const Target &target, const QString &text, const DeviceAccess &access,
                          QueuedMessage m, TextFit fit = TextFit::Refuse);
