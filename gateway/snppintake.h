#pragma once

#include "gateway/prepare.h"
#include "store/sendqueue.h"
#include "store/snppdesk.h"

// The queue runner as the SNPP listener sees it: PAGE's names from the address book and
// oncall.ini, digits through the centre SnppCenter= names, LOGI against snpp-users in the
// data folder, and SEND's batch into the queue through the one batch path, with the checks
// of "queue add"; an escalation is started as "queue add --to" starts it, under the id
// its PAGE told. Safe from any thread: it keeps no state between calls.
class SnppIntake : public SnppDesk
{
public:
    // center: the centre for a PAGE of digits; empty: such a PAGE is refused.
    SnppIntake(QString folder, DeviceAccess access, QueuedMessage defaults, QString center);

    std::variant<SnppPager, QString> pager(const QByteArray &name) override;
    bool login(const QByteArray &user, const QByteArray &password) override;
    QString send(const SnppBatch &batch) override;

    const QString &folder() const { return m_folder; }
    // Bytes from a client as text: UTF-8, else CP932.
    static QString text(const QByteArray &bytes);
    // A refusal of the rules in the words of an SNPP client.
    static QString refusalText(const IntakeRefusal &r);

private:
    QString m_folder;
    DeviceAccess m_access;
    QueuedMessage m_defaults;
    QString m_center;
};
