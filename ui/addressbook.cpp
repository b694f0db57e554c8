#include "ui/addressbook.h"

#include "store/appdata.h"

namespace addressbook
{

void removeCenter(AppData &data, int k)
{
    data.centers.removeAt(k);
    for (Recipient &r : data.recipients) {
        if (r.centerIndex == k)
            r.centerIndex = -1;
        else if (r.centerIndex > k)
            --r.centerIndex;
    }
}

void swapCenters(AppData &data, int k, int j)
{
    data.centers.swapItemsAt(k, j);
    for (Recipient &r : data.recipients) {
        if (r.centerIndex == k)
            r.centerIndex = qint16(j);
        else if (r.centerIndex == j)
            r.centerIndex = qint16(k);
    }
}

void removeRecipient(AppData &data, int k)
{
    data.recipients.removeAt(k);
}

void swapRecipients(AppData &data, int k, int j)
{
    data.recipients.swapItemsAt(k, j);
}

} // namespace addressbook
