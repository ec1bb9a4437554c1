#include "codec/codec.h"

#include <QRandomGenerator>

#include <array>
#include <cstring>

namespace {

ushort octetBas(QChar unite)
{
    return unite.unicode() & 0xFF;
}

// (0x7F - low byte) modulo 256, which is the low byte with its low 7 bits flipped.
ushort complement(ushort unite)
{
    return (unite ^ 0x7F) & 0xFF;
}

// A whole scrambled group, as the four units in memory order, for each sum
// s = r + c (0..382) and r = 0: units 1 to 3 are the three decimal digits of s,
// complemented ("O" for 0 down to "F" for 9); unit 0 gets its value from r.
constexpr std::array<quint64, 383> groupesBrouilles()
{
    std::array<quint64, 383> table{};
    for (int s = 0; s < 383; ++s) {
        const quint64 chiffres[3] = {quint64(0x4F - s / 100), quint64(0x4F - s / 10 % 10),
                                     quint64(0x4F - s % 10)};
        for (int i = 0; i < 3; ++i) {
            // QChar's units sit in native byte order.
            const int decalage = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 16 * (i + 1) : 16 * (2 - i);
            table[s] |= chiffres[i] << decalage;
        }
    }
    return table;
}
constexpr std::array<quint64, 383> tableGroupes = groupesBrouilles();
constexpr int decalageUnite0 = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 0 : 48;

// The number that demelanger reads from units 1 to 3 of the group at debut,
// where unite gives the unit that demelanger sees for each unit of texte.
int nombreDuGroupe(const ushort *texte, int longueur, int debut, ushort (*unite)(ushort))
{
    if (debut + 3 < longueur) {
        const unsigned centaines = unite(texte[debut + 1]) - 0x30u;
        const unsigned dizaines = unite(texte[debut + 2]) - 0x30u;
        const unsigned unites = unite(texte[debut + 3]) - 0x30u;
        if (centaines < 10 && dizaines < 10 && unites < 10)
            return int(centaines * 100 + dizaines * 10 + unites);
    }
    // Anything else (signs, blanks, a group cut short) reads exactly as toInt reads it.
    QString chiffres(3, QChar(0));
    for (int i = 1; i <= 3 && debut + i < longueur; ++i)
        chiffres[i - 1] = QChar(unite(texte[debut + i]));
    return chiffres.toInt(nullptr, 10);
}

ushort identite(ushort unite)
{
    return unite;
}

} // namespace

// brouiller and debrouiller do in one pass what their three steps do in three.

QString brouiller(QString texte)
{
    const int longueur = texte.size();
    QString resultat(longueur * 4, Qt::Uninitialized);
    const ushort *entree = texte.utf16();
    ushort *sortie = reinterpret_cast<ushort *>(resultat.data());
    QRandomGenerator *hasard = QRandomGenerator::global();

    // One 32-bit draw gives the random values of four units, 7 bits each.
    constexpr int unitesParLot = 256;
    std::array<quint32, unitesParLot / 4> tirages;
    for (int debut = 0; debut < longueur; debut += unitesParLot) {
        const int lot = qMin(unitesParLot, longueur - debut);
        hasard->fillRange(tirages.data(), qsizetype((lot + 3) / 4));
        for (int k = 0; k < lot; ++k) {
            const unsigned r = (tirages[k / 4] >> (8 * (k % 4))) & 0x7F;
            const quint64 groupe =
                tableGroupes[r + complement(entree[debut + k])] | quint64(0x7F - r) << decalageUnite0;
            std::memcpy(sortie, &groupe, sizeof groupe);
            sortie += 4;
        }
    }
    return resultat;
}

QString debrouiller(QString texte)
{
    const int longueur = texte.size();
    QString resultat((longueur + 3) / 4, Qt::Uninitialized);
    const ushort *entree = texte.utf16();
    ushort *sortie = reinterpret_cast<ushort *>(resultat.data());
    for (int debut = 0; debut < longueur; debut += 4) {
        const int r = complement(entree[debut]);
        const int nombre = nombreDuGroupe(entree, longueur, debut, complement);
        *sortie++ = complement(ushort(((nombre & 0xFF) - r) & 0xFF));
    }
    return resultat;
}

QString complementer(QString texte)
{
    QString resultat(texte.size(), Qt::Uninitialized);
    QChar *sortie = resultat.data();
    for (const QChar unite : qAsConst(texte))
        *sortie++ = QChar(ushort((0x7F - octetBas(unite)) & 0xFF));
    return resultat;
}

QString melanger(QString texte)
{
    QRandomGenerator *hasard = QRandomGenerator::global();
    QString resultat;
    resultat.reserve(texte.size() * 4);
    for (const QChar unite : qAsConst(texte)) {
        const ushort r = ushort(hasard->bounded(128));
        const int somme = r + unite.unicode();
        if (somme > 999) {
            // Only a unit above U+00FF, which brouiller never passes, gets here.
            resultat.append(QChar(r));
            resultat.append(QString::number(somme));
            continue;
        }
        const QChar groupe[4] = {QChar(r), QChar(ushort('0' + somme / 100)),
                                 QChar(ushort('0' + somme / 10 % 10)), QChar(ushort('0' + somme % 10))};
        resultat.append(groupe, 4);
    }
    return resultat;
}

QString demelanger(QString texte)
{
    const int longueur = texte.size();
    QString resultat;
    resultat.reserve((longueur + 3) / 4);
    const ushort *entree = texte.utf16();
    for (int debut = 0; debut < longueur; debut += 4) {
        const int r = octetBas(texte.at(debut));
        // A group cut short by the end of the text is padded with U+0000,
        // which makes the digits unreadable: the number then counts as 0.
        const int nombre = nombreDuGroupe(entree, longueur, debut, identite);
        resultat.append(QChar(ushort(((nombre & 0xFF) - r) & 0xFF)));
    }
    return resultat;
}
