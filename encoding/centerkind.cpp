#include "encoding/centerkind.h"

namespace
{

constexpr CenterRules Rows[] = {
    /* DoCoMo     */ {true, Optimiser::Kanji, "", false, "##"},
    /* DoCoMoKana */ {true, Optimiser::Kana, "", false, "##"},
    /* JPhone     */ {false, Optimiser::Kanji, "", true, "##"},
    /* Au         */ {false, Optimiser::Kanji, "", false, "##"},
    /* TuKa       */ {false, Optimiser::Kana, "", false, "##"},
    /* DdiPMail   */ {false, Optimiser::Kana, "1", false, "##"},
    /* Astel      */ {false, Optimiser::Kana, "", false, "##"},
    /* JPhone2    */ {false, Optimiser::None, "", true, "#"},
};
constexpr CenterRules Unknown = {false, Optimiser::None, "", false, "##"};

} // namespace

const CenterRules &centerRules(int storedKind)
{
    return storedKind >= 0 && storedKind < int(std::size(Rows)) ? Rows[storedKind] : Unknown;
}
