// debrouiller on any text (the input's bytes taken as UTF-16 units), checked
// against the unscrambling written out step by step; and brouiller on the same
// text, whose groups must have their form and unscramble to the low bytes.

#include "codec/codec.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

ushort complement(ushort unite)
{
    return ushort((0x7F - (unite & 0xFF)) & 0xFF);
}

// complementer, demelanger and complementer, as the format describes them.
QString debrouillerPasAPas(const QString &texte)
{
    QString complemente;
    for (const QChar unite : texte)
        complemente.append(QChar(complement(unite.unicode())));
    QString demele;
    for (int debut = 0; debut < complemente.size(); debut += 4) {
        const int r = complemente.at(debut).unicode() & 0xFF;
        QString chiffres(3, QChar(0));
        for (int i = 1; i <= 3 && debut + i < complemente.size(); ++i)
            chiffres[i - 1] = complemente.at(debut + i);
        const int nombre = chiffres.toInt(nullptr, 10);
        demele.append(QChar(ushort(((nombre & 0xFF) - r) & 0xFF)));
    }
    QString resultat;
    for (const QChar unite : demele)
        resultat.append(QChar(complement(unite.unicode())));
    return resultat;
}

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

    verifier(debrouiller(texte) == debrouillerPasAPas(texte));

    const QString brouille = brouiller(texte);
    verifier(brouille.size() == texte.size() * 4);
    QString octetsBas;
    for (int i = 0; i < texte.size(); ++i) {
        octetsBas.append(QChar(ushort(texte.at(i).unicode() & 0xFF)));
        verifier(brouille.at(4 * i).unicode() <= 0x7F);
        verifier(brouille.at(4 * i + 1) >= QLatin1Char('L') && brouille.at(4 * i + 1) <= QLatin1Char('O'));
        for (int j = 2; j <= 3; ++j)
            verifier(brouille.at(4 * i + j) >= QLatin1Char('F') && brouille.at(4 * i + j) <= QLatin1Char('O'));
    }
    verifier(debrouiller(brouille) == octetsBas);
    return 0;
}
