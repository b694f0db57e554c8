#pragma once

#include <QString>

// The kinds of message centre, as stored in the address book (the number is the
// position in its list of kinds).
enum class CenterKind : qint16 { DoCoMo = 0, DoCoMoKana, JPhone, Au, TuKa, DdiPMail, Astel, JPhone2 };

// How a message is rewritten to fit a centre.
enum class Optimiser { None, Kanji, Kana };

// The rules of one centre kind.
struct CenterRules {
    bool countsCharacters; // the limit counts characters; else CP932 bytes
    Optimiser optimiser;
    const char *serviceKey; // keyed in (with a second's pause) before the number; "" for none
    bool starStage;         // "#" before the number and a stage that sends "*" after the message
    const char *endMark;    // dialled after the last piece of the message
};

// The row of a stored kind; a kind outside the list counts bytes and has no optimiser,
// no service key, no star stage and the end mark "##".
const CenterRules &centerRules(int storedKind);
