#pragma once

// What each centre kind (0-7) keys after its call, stage by stage: the number with its "#"
// (after the service key "1" of kind 5 or the star kinds' "#"), the message's strings of
// digits with the end mark, and the star kinds' star.
#include <QByteArrayList>
#include <QList>

struct CentreKindKeys {
    int kind;
    QList<QByteArrayList> stages;
    QByteArrayList all() const
    {
        QByteArrayList out;
        for (const QByteArrayList &stage : stages)
            out += stage;
        return out;
    }
};

inline QList<CentreKindKeys> centreKindKeys(const QByteArray &number, const QByteArrayList &mail)
{
    QList<CentreKindKeys> out;
    for (int kind = 0; kind < 8; ++kind) {
        const bool star = kind == 2 || kind == 7;
        const QByteArrayList lead = star ? QByteArrayList{"#"} : kind == 5 ? QByteArrayList{"1"} : QByteArrayList{};
        out << CentreKindKeys{kind,
                              {lead + QByteArrayList{number + '#'}, mail + QByteArrayList{kind == 7 ? "#" : "##"}}};
        if (star)
            out.last().stages << QByteArrayList{"*"};
    }
    return out;
}
