#include "wire/codec.h"

#include <QRandomGenerator>

#include <array>
#include <cstring>

#ifdef __SSE2__
#include <immintrin.h>
#endif

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

// The random values travel in clear and only need to be uniform over 0..127:
// a fast generator (xoshiro256++) gives eight of them per draw. Each thread
// has its own, seeded once from the system's source, so nothing is locked.
struct Xoshiro
{
    static quint64 rotation(quint64 x, int k) { return (x << k) | (x >> (64 - k)); }

    quint64 suivant()
    {
        const quint64 resultat = rotation(etat[0] + etat[3], 23) + etat[0];
        const quint64 t = etat[1] << 17;
        etat[2] ^= etat[0];
        etat[3] ^= etat[1];
        etat[1] ^= etat[2];
        etat[0] ^= etat[3];
        etat[2] ^= t;
        etat[3] = rotation(etat[3], 45);
        return resultat;
    }

    quint64 etat[4];
};

struct HasardDuFil
{
    Xoshiro generateur;
    bool seme;
};
thread_local HasardDuFil hasardDuFil; // zero-initialised: not yet seeded

// The thread's generator, seeded on first use. The caller works on a copy and
// gives it back: the stores of the scrambled text could otherwise alias it.
Xoshiro prendreHasard()
{
    if (!hasardDuFil.seme) {
        quint64 *etat = hasardDuFil.generateur.etat;
        do
            QRandomGenerator::system()->fillRange(etat, 4);
        while ((etat[0] | etat[1] | etat[2] | etat[3]) == 0); // the one state it never leaves
        hasardDuFil.seme = true;
    }
    return hasardDuFil.generateur;
}

void rendreHasard(const Xoshiro &generateur)
{
    hasardDuFil.generateur = generateur;
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

// Up to eight units, their random values taken from the bytes of one draw.
void brouillerQuelques(const ushort *entree, int nombre, quint64 tirage, ushort *sortie)
{
    for (int k = 0; k < nombre; ++k, tirage >>= 8) {
        const unsigned r = tirage & 0x7F;
        const quint64 groupe = tableGroupes[r + complement(entree[k])] | quint64(0x7F - r) << decalageUnite0;
        std::memcpy(sortie + 4 * k, &groupe, sizeof groupe);
    }
}

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

// One group of a scrambled text, unscrambled: any group, whatever it holds.
ushort debrouillerGroupe(const ushort *texte, int longueur, int debut)
{
    const int r = complement(texte[debut]);
    const int nombre = nombreDuGroupe(texte, longueur, debut, complement);
    return complement(ushort(((nombre & 0xFF) - r) & 0xFF));
}

#ifdef __SSE2__

// Eight units at once. With c the complemented unit and s = r + c, a group is
// 0x7F - r, then 0x4F minus each decimal digit of s. Since s < 383, s / 10 and
// s / 100 are exactly the high halves of s * 6554 and s * 656.
void brouillerHuit(const ushort *entree, quint64 tirage, ushort *sortie)
{
    const __m128i octetBas = _mm_set1_epi16(0xFF);
    const __m128i unites = _mm_loadu_si128(reinterpret_cast<const __m128i *>(entree));
    const __m128i c = _mm_xor_si128(_mm_and_si128(unites, octetBas), _mm_set1_epi16(0x7F));
    const __m128i r = _mm_and_si128(_mm_unpacklo_epi8(_mm_cvtsi64_si128(qint64(tirage)), _mm_setzero_si128()),
                                    _mm_set1_epi16(0x7F));
    const __m128i s = _mm_add_epi16(r, c);
    const __m128i dizainesEntieres = _mm_mulhi_epu16(s, _mm_set1_epi16(6554)); // s / 10
    const __m128i centaines = _mm_mulhi_epu16(s, _mm_set1_epi16(656));         // s / 100
    const __m128i dix = _mm_set1_epi16(10);
    const __m128i dizaines = _mm_sub_epi16(dizainesEntieres, _mm_mullo_epi16(centaines, dix));
    const __m128i chiffreUnites = _mm_sub_epi16(s, _mm_mullo_epi16(dizainesEntieres, dix));

    const __m128i o = _mm_set1_epi16(0x4F);
    const __m128i u0 = _mm_sub_epi16(_mm_set1_epi16(0x7F), r);
    const __m128i u1 = _mm_sub_epi16(o, centaines);
    const __m128i u2 = _mm_sub_epi16(o, dizaines);
    const __m128i u3 = _mm_sub_epi16(o, chiffreUnites);
    // Interleave into groups: u0 u1 u2 u3 of unit 0, then of unit 1, and so on.
    const __m128i bas01 = _mm_unpacklo_epi16(u0, u1);
    const __m128i bas23 = _mm_unpacklo_epi16(u2, u3);
    const __m128i haut01 = _mm_unpackhi_epi16(u0, u1);
    const __m128i haut23 = _mm_unpackhi_epi16(u2, u3);
    __m128i *destination = reinterpret_cast<__m128i *>(sortie);
    _mm_storeu_si128(destination, _mm_unpacklo_epi32(bas01, bas23));
    _mm_storeu_si128(destination + 1, _mm_unpackhi_epi32(bas01, bas23));
    _mm_storeu_si128(destination + 2, _mm_unpacklo_epi32(haut01, haut23));
    _mm_storeu_si128(destination + 3, _mm_unpackhi_epi32(haut01, haut23));
}

// Two groups (eight units) as low bytes, and whether their digit positions all
// hold "F".."O" (the digits once complemented).
__m128i octetsDeDeuxGroupes(const ushort *entree, __m128i &valides)
{
    const __m128i b = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(entree)),
                                    _mm_set1_epi16(0xFF));
    const __m128i chiffre = _mm_and_si128(_mm_cmpgt_epi16(b, _mm_set1_epi16(0x45)),
                                          _mm_cmplt_epi16(b, _mm_set1_epi16(0x50)));
    // Position 0 of each group may hold anything.
    valides = _mm_and_si128(valides, _mm_or_si128(chiffre, _mm_set_epi16(0, 0, 0, -1, 0, 0, 0, -1)));
    return b;
}

// Eight groups of three plain digits at once; false, with nothing written,
// when any of them is not, so that the careful reading takes over. For such a
// group, with b0..b3 its low bytes, the unscrambled unit works out as
// (189 + 100 b1 + 10 b2 + b3 - b0) modulo 256.
bool debrouillerHuit(const ushort *entree, ushort *sortie)
{
    __m128i valides = _mm_set1_epi16(-1);
    const __m128i b0 = octetsDeDeuxGroupes(entree, valides);
    const __m128i b1 = octetsDeDeuxGroupes(entree + 8, valides);
    const __m128i b2 = octetsDeDeuxGroupes(entree + 16, valides);
    const __m128i b3 = octetsDeDeuxGroupes(entree + 24, valides);
    if (_mm_movemask_epi8(valides) != 0xFFFF)
        return false;

    // Per group, [-b0 + 100 b1, 10 b2 + b3] as 32-bit values, then their sum.
    const __m128i poids = _mm_set_epi16(1, 10, 100, -1, 1, 10, 100, -1);
    const __m128i moities01 = _mm_packs_epi32(_mm_madd_epi16(b0, poids), _mm_madd_epi16(b1, poids));
    const __m128i moities23 = _mm_packs_epi32(_mm_madd_epi16(b2, poids), _mm_madd_epi16(b3, poids));
    const __m128i un = _mm_set1_epi16(1);
    const __m128i sommes = _mm_packs_epi32(_mm_madd_epi16(moities01, un), _mm_madd_epi16(moities23, un));
    const __m128i resultat = _mm_and_si128(_mm_add_epi16(sommes, _mm_set1_epi16(189)), _mm_set1_epi16(0xFF));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(sortie), resultat);
    return true;
}

#endif

#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__)
#define QOVI_AVX2 1

bool avecAvx2()
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

// brouillerHuit on sixteen units, their random values from two draws.
__attribute__((target("avx2"), always_inline)) inline void brouillerSeize(const ushort *entree, quint64 tirage1, quint64 tirage2,
                                                    ushort *sortie)
{
    const __m256i unites = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(entree));
    const __m256i c = _mm256_xor_si256(_mm256_and_si256(unites, _mm256_set1_epi16(0xFF)), _mm256_set1_epi16(0x7F));
    const __m256i r = _mm256_and_si256(_mm256_cvtepu8_epi16(_mm_set_epi64x(qint64(tirage2), qint64(tirage1))),
                                       _mm256_set1_epi16(0x7F));
    const __m256i s = _mm256_add_epi16(r, c);
    const __m256i dizainesEntieres = _mm256_mulhi_epu16(s, _mm256_set1_epi16(6554));
    const __m256i centaines = _mm256_mulhi_epu16(s, _mm256_set1_epi16(656));
    const __m256i dix = _mm256_set1_epi16(10);
    const __m256i dizaines = _mm256_sub_epi16(dizainesEntieres, _mm256_mullo_epi16(centaines, dix));
    const __m256i chiffreUnites = _mm256_sub_epi16(s, _mm256_mullo_epi16(dizainesEntieres, dix));

    const __m256i o = _mm256_set1_epi16(0x4F);
    const __m256i u0 = _mm256_sub_epi16(_mm256_set1_epi16(0x7F), r);
    const __m256i u1 = _mm256_sub_epi16(o, centaines);
    const __m256i u2 = _mm256_sub_epi16(o, dizaines);
    const __m256i u3 = _mm256_sub_epi16(o, chiffreUnites);
    // The unpacks work within each 128-bit half: units 0-7 in the low halves,
    // 8-15 in the high ones; the last step puts the groups back in order.
    const __m256i bas01 = _mm256_unpacklo_epi16(u0, u1);
    const __m256i bas23 = _mm256_unpacklo_epi16(u2, u3);
    const __m256i haut01 = _mm256_unpackhi_epi16(u0, u1);
    const __m256i haut23 = _mm256_unpackhi_epi16(u2, u3);
    const __m256i groupes0189 = _mm256_unpacklo_epi32(bas01, bas23);
    const __m256i groupes23AB = _mm256_unpackhi_epi32(bas01, bas23);
    const __m256i groupes45CD = _mm256_unpacklo_epi32(haut01, haut23);
    const __m256i groupes67EF = _mm256_unpackhi_epi32(haut01, haut23);
    __m256i *destination = reinterpret_cast<__m256i *>(sortie);
    _mm256_storeu_si256(destination, _mm256_permute2x128_si256(groupes0189, groupes23AB, 0x20));
    _mm256_storeu_si256(destination + 1, _mm256_permute2x128_si256(groupes45CD, groupes67EF, 0x20));
    _mm256_storeu_si256(destination + 2, _mm256_permute2x128_si256(groupes0189, groupes23AB, 0x31));
    _mm256_storeu_si256(destination + 3, _mm256_permute2x128_si256(groupes45CD, groupes67EF, 0x31));
}

// Eight groups' low bytes, packed; the 128-bit halves interleave them as
// groups 0 1 4 5 | 2 3 6 7 of the two inputs.
__attribute__((target("avx2"), always_inline)) inline __m256i octetsDeHuitGroupes(const ushort *entree)
{
    const __m256i octetBas = _mm256_set1_epi16(0xFF);
    const __m256i premiers = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(entree)), octetBas);
    const __m256i suivants =
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(entree + 16)), octetBas);
    return _mm256_packus_epi16(premiers, suivants);
}

// All ones where a byte is a digit letter "F".."O" or the random unit.
__attribute__((target("avx2"), always_inline)) inline __m256i chiffresValides(__m256i octets)
{
    const __m256i depuisF = _mm256_sub_epi8(octets, _mm256_set1_epi8(0x46));
    const __m256i chiffre = _mm256_cmpeq_epi8(_mm256_min_epu8(depuisF, _mm256_set1_epi8(9)), depuisF);
    return _mm256_or_si256(chiffre, _mm256_set1_epi32(0xFF));
}

// debrouillerHuit on sixteen groups, on bytes.
__attribute__((target("avx2"), always_inline)) inline bool debrouillerSeize(const ushort *entree, ushort *sortie)
{
    const __m256i groupes0a7 = octetsDeHuitGroupes(entree);
    const __m256i groupes8aF = octetsDeHuitGroupes(entree + 32);
    if (_mm256_movemask_epi8(_mm256_and_si256(chiffresValides(groupes0a7), chiffresValides(groupes8aF))) != -1)
        return false;

    const __m256i poids = _mm256_set1_epi32(0x010A64FF); // -1, 100, 10, 1 from the low byte up
    const __m256i un = _mm256_set1_epi16(1);
    const __m256i sommes0a7 = _mm256_madd_epi16(_mm256_maddubs_epi16(groupes0a7, poids), un);
    const __m256i sommes8aF = _mm256_madd_epi16(_mm256_maddubs_epi16(groupes8aF, poids), un);
    const __m256i sommes = _mm256_packs_epi32(sommes0a7, sommes8aF);
    // The packs leave pairs of groups in the order 0 2 4 6 | 1 3 5 7 (pairs of two).
    const __m256i ordonnees = _mm256_permutevar8x32_epi32(sommes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    const __m256i resultat =
        _mm256_and_si256(_mm256_add_epi16(ordonnees, _mm256_set1_epi16(189)), _mm256_set1_epi16(0xFF));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(sortie), resultat);
    return true;
}

// The loops stay inside code built for AVX2, so that its constants stay in
// registers from one block to the next. A text longer than a block ends with
// one more block that overlaps the one before: the units it does again come
// out right again (brouiller's with fresh random values). Each returns where
// it stopped.
__attribute__((target("avx2"))) int brouillerParSeize(const ushort *entree, int longueur, Xoshiro &hasard,
                                                      ushort *sortie)
{
    if (longueur < 16)
        return 0;
    for (int k = 0;; k += 16) {
        k = qMin(k, longueur - 16);
        const quint64 tirage1 = hasard.suivant();
        brouillerSeize(entree + k, tirage1, hasard.suivant(), sortie + 4 * k);
        if (k + 16 == longueur)
            return longueur;
    }
}

__attribute__((target("avx2"))) int debrouillerParSeize(const ushort *entree, int longueur, ushort *sortie)
{
    const int complets = longueur / 4;
    if (complets < 16)
        return 0;
    for (int g = 0;; g += 16) {
        g = qMin(g, complets - 16);
        if (!debrouillerSeize(entree + 4 * g, sortie + g))
            for (int i = g; i < g + 16; ++i)
                sortie[i] = debrouillerGroupe(entree, longueur, 4 * i);
        if (g + 16 == complets)
            return complets;
    }
}

#endif

} // namespace

// brouiller and debrouiller do in one pass what their three steps do in three,
// eight units or groups at a time where the processor allows.

QString brouiller(QString texte)
{
    const int longueur = texte.size();
    QString resultat(longueur * 4, Qt::Uninitialized);
    const ushort *entree = reinterpret_cast<const ushort *>(texte.constData());
    ushort *sortie = reinterpret_cast<ushort *>(resultat.data());
    Xoshiro hasard = prendreHasard();
    int k = 0;
#ifdef QOVI_AVX2
    if (avecAvx2())
        k = brouillerParSeize(entree, longueur, hasard, sortie);
#endif
#ifdef __SSE2__
    for (; k + 8 <= longueur; k += 8)
        brouillerHuit(entree + k, hasard.suivant(), sortie + 4 * k);
#endif
    for (; k < longueur; k += 8)
        brouillerQuelques(entree + k, qMin(8, longueur - k), hasard.suivant(), sortie + 4 * k);
    rendreHasard(hasard);
    return resultat;
}

// Blocks of groups that are all three plain digits go the fast way; any other
// group is read unit by unit, exactly as demelanger reads it.
QString debrouiller(QString texte)
{
    const int longueur = texte.size();
    const int groupes = (longueur + 3) / 4;
    QString resultat(groupes, Qt::Uninitialized);
    const ushort *entree = reinterpret_cast<const ushort *>(texte.constData());
    ushort *sortie = reinterpret_cast<ushort *>(resultat.data());
    int g = 0;
    auto lentement = [&](int debut, int fin) {
        for (int i = debut; i < fin; ++i)
            sortie[i] = debrouillerGroupe(entree, longueur, 4 * i);
    };
#ifdef QOVI_AVX2
    if (avecAvx2())
        g = debrouillerParSeize(entree, longueur, sortie);
#endif
#ifdef __SSE2__
    for (; 4 * (g + 8) <= longueur; g += 8)
        if (!debrouillerHuit(entree + 4 * g, sortie + g))
            lentement(g, g + 8);
#endif
    lentement(g, groupes);
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
