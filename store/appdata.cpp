#include "store/appdata.h"

#include <QStringList>

Settings Settings::defaults()
{
    Settings s;
    s.PortNumber = 1;
    s.ModemKind = 0;
    s.TonePulse = QStringLiteral("T");
    s.DialSpeed = 20;
    s.SpeakerOff = 0;
    s.SpeakerVolume = 3;
    s.SendStrings = 8;
    s.AutoTransmit = 0;
    s.IME = 0;
    s.OutsideOn = 0;
    s.History = 1;
    s.HistoryCount = 20;
    s.OkCheckNo = 0;
    s.ReturnStart = 1;
    s.MailInterval = 2;
    return s;
}

void HistoryTable::resize(int count)
{
    m_rows.resize(count < 0 ? 0 : qsizetype(count) + 1);
}

QList<HistoryEntry> HistoryTable::used() const
{
    QList<HistoryEntry> out;
    for (const HistoryEntry &e : m_rows) {
        if (e.recipientName.isEmpty())
            break;
        out.append(e);
    }
    return out;
}

void HistoryTable::add(const HistoryEntry &entry)
{
    if (m_rows.isEmpty())
        return;
    for (qsizetype j = m_rows.size() - 1; j >= 1; --j)
        m_rows[j] = m_rows[j - 1];
    m_rows[0] = entry;
}

const QStringList &centerKindNames()
{
    static const QStringList names = {
        QStringLiteral("NTT DoCoMo"), QStringLiteral("NTT DoCoMo(ｶﾀｶﾅ専用)"),
        QStringLiteral("J-PHONE"),    QStringLiteral("au (IDO)"),
        QStringLiteral("TuKa"),       QStringLiteral("DDI (Pメール)"),
        QStringLiteral("アステル"),   QStringLiteral("J-PHONE(2)"),
    };
    return names;
}

#include <QDateTime>

void AddHistoryEntry(AppData &data, const QString &recipientName, const QString &centerName, const QString &message)
{
    if (data.settings.History == 0)
        return;
    QString text = message;
    // Line breaks go; a lone CR or LF left in would split the entry when the file is read again.
    text.remove(QStringLiteral("\r\n"));
    text.remove(QLatin1Char('\n'));
    text.remove(QLatin1Char('\r'));
    data.history.add({recipientName, centerName,
                      QDateTime::currentDateTime().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")), text});
}
