#pragma once

// What a centre kind (0-7) keys after its call, stage by stage: the number with its "#"
// (after the service key "1" of kind 5 or the star kinds' "#"), the message's strings of
// digits with the end mark, and the star kinds' star.
#include <QByteArrayList>
#include <QList>

inline QList<QByteArrayList> centreKindKeys(int kind, const QByteArray &number, const QByteArrayList &mail)
{
    const bool star = kind == 2 || kind == 7;
    QList<QByteArrayList> stages{{number + '#'}, mail + QByteArrayList{kind == 7 ? "#" : "##"}};
    if (star || kind == 5)
        stages[0].prepend(star ? "#" : "1");
    if (star)
        stages << QByteArrayList{"*"};
    return stages;
}
