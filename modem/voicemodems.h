#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <optional>

// The modules ModemManager manages, as the line through it and the options dialog see them.
namespace modemmanager
{
extern const QString Service;            // its name on the system bus
extern const QString Root;               // its object manager
extern const QString ModemIface;         // a modem
extern const QString VoiceIface;         // a modem's voice calls
extern const QString ObjectManagerIface; // org.freedesktop.DBus.ObjectManager
// A port as named by the user or by ModemManager, without /dev/.
QString portName(const QString &port);
} // namespace modemmanager

// A module ModemManager manages that can place voice calls.
struct VoiceModem {
    QString path;   // its object
    QString imei;   // its equipment identifier
    QString port;   // its primary port
    QString device; // its device (the sysfs path)
    QString text;   // maker, model, IMEI and port, as a person reads them
    int state = 0;  // ModemManager's state of the modem
};

// The modules with the voice interface in an answer of ModemManager's GetManagedObjects.
QList<VoiceModem> voiceModems(const QVariantMap &objects);
// Whether VoiceModem= names the module (its IMEI, its port with or without /dev/, its
// device); empty names every one.
bool namesModem(const QString &wanted, const VoiceModem &modem);
// The one module of modems that VoiceModem= names: *chosen, or why none can be: none
// names it, or none is named and there are several (each one named in the text).
QString chooseModem(const QList<VoiceModem> &modems, const QString &wanted, VoiceModem *chosen);
// Asks ModemManager for its modules with voice calls; done gets them from the event loop,
// or why they cannot be had.
void listVoiceModems(std::function<void(const QList<VoiceModem> &modems, const QString &problem)> done);
// The same, waiting for the answer (a few seconds at most): for a check made once, at the
// start of a run. nullopt with *problem when ModemManager cannot be asked.
std::optional<QList<VoiceModem>> voiceModemsNow(QString *problem);
