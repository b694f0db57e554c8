#pragma once

struct AppData;

// The changes to the address book that must keep every recipient on its own centre.
// Positions are not checked: callers pass valid ones.
namespace addressbook
{

// Removes centre k; its recipients lose their centre and those of later centres follow theirs up.
void removeCenter(AppData &data, int k);
// Exchanges centres k and j; each recipient keeps its centre.
void swapCenters(AppData &data, int k, int j);
void removeRecipient(AppData &data, int k);
void swapRecipients(AppData &data, int k, int j);

} // namespace addressbook
