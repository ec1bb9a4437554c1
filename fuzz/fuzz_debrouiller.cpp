// debrouiller on any text (the input's bytes taken as UTF-16 units), checked
// against the unscrambling written out step by step; and brouiller on the same
// text, whose groups must be those of the format for the random value each
// carries, and unscramble to the low bytes.

#include "wire/codec.h"
#include "tests/codecpasapas.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void verifier(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    QString texte(int(taille / 2), Qt::Uninitialized);
    std::memcpy(texte.data(), donnees, size_t(texte.size()) * 2);

    verifier(debrouiller(texte) == pasapas::debrouiller(texte));

    const QString brouille = brouiller(texte);
    verifier(brouille.size() == texte.size() * 4);
    QString octetsBas;
    for (int i = 0; i < texte.size(); ++i) {
        octetsBas.append(QChar(ushort(texte.at(i).unicode() & 0xFF)));
        const int r = 0x7F - brouille.at(4 * i).unicode();
        verifier(r >= 0 && r <= 127);
        verifier(brouille.mid(4 * i, 4) == pasapas::groupe(texte.at(i).unicode(), r));
    }
    verifier(debrouiller(brouille) == octetsBas);
    return 0;
}
