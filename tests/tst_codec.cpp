#include "wire/codec.h"
#include "codecpasapas.h"

#include <QRandomGenerator>
#include <QtTest>

#include <array>

namespace {

QString unites(std::initializer_list<ushort> valeurs)
{
    QString texte;
    for (ushort valeur : valeurs)
        texte.append(QChar(valeur));
    return texte;
}

// A text given as the hex of its units, each below U+0100.
QString depuisHex(const char *hex)
{
    const QByteArray octets = QByteArray::fromHex(hex);
    return QString::fromLatin1(octets.constData(), octets.size()); // U+0000 included
}

// Units that sit next to the digits once complemented, or that a careless
// reader would take for digits: the digit letters with a high byte, the units
// that complement to "/", ":", "+", "-", ".", a blank, U+0000 and U+007F.
const ushort unitesPieges[] = {'P', 'E', 'T', 'R', 'Q', '_', 0x00, 0x7F, 0x14F, 0x146, 0xFF4A, 'F', 'O', 'J'};

// Random texts of every kind: short ones of any units, ones made of the
// tricky units, and real scrambled texts with a few units spoilt.
QString texteAuHasard(QRandomGenerator &hasard)
{
    const int longueur = int(hasard.bounded(41));
    QString texte;
    switch (hasard.bounded(3)) {
    case 0:
        for (int i = 0; i < longueur; ++i)
            texte.append(QChar(ushort(hasard.bounded(0x10000))));
        break;
    case 1:
        for (int i = 0; i < longueur; ++i)
            texte.append(QChar(unitesPieges[hasard.bounded(int(std::size(unitesPieges)))]));
        break;
    default:
        for (int i = 0; i < longueur; ++i) // long enough for the codec's blocks of 8 and 16 groups
            texte.append(QChar(ushort(hasard.bounded(0x100))));
        texte = brouiller(texte);
        for (int abimes = int(hasard.bounded(3)); abimes > 0 && !texte.isEmpty(); --abimes)
            texte[int(hasard.bounded(texte.size()))] = QChar(unitesPieges[hasard.bounded(int(std::size(unitesPieges)))]);
        if (hasard.bounded(2))
            texte.chop(int(hasard.bounded(4)));
        break;
    }
    return texte;
}

// The random values that brouiller put into its groups.
QVector<int> hasardsDe(const QString &brouille)
{
    QVector<int> valeurs;
    for (int i = 0; i < brouille.size(); i += 4)
        valeurs.append(0x7F - brouille.at(i).unicode());
    return valeurs;
}

QString toutesLesUnitesBasses()
{
    QString texte;
    for (ushort u = 0; u <= 0xFF; ++u)
        texte.append(QChar(u));
    return texte;
}

} // namespace

class TstCodec : public QObject
{
    Q_OBJECT

private slots:
    void vecteurs_data();
    void vecteurs();
    void groupesMalformes_data();
    void groupesMalformes();
    void commeLaReference_data();
    void commeLaReference();
    void commeLaReferenceAuHasard();
    void groupesSelonLeFormat_data();
    void groupesSelonLeFormat();
    void hasardUniforme();
    void formeDesGroupes_data();
    void formeDesGroupes();
    void allerRetour_data();
    void allerRetour();
    void chaqueUniteBasseSurvit();
    void deuxBrouillagesDifferent();
    void complementerEstSonInverse();
};

// Deterministic steps: exact results.
void TstCodec::vecteurs_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("entree");
    QTest::addColumn<QString>("sortie");

    QTest::newRow("brouiller empty") << "brouiller" << "" << "";
    QTest::newRow("debrouiller empty") << "debrouiller" << "" << "";
    QTest::newRow("debrouiller >OFJ: a") << "debrouiller" << unites({0x3E, 0x4F, 0x46, 0x4A}) << "a";
    QTest::newRow("debrouiller cut-short group") << "debrouiller" << unites({0x3E}) << unites({0xC0});
    QTest::newRow("debrouiller five units: two")
        << "debrouiller" << unites({0x3E, 0x4F, 0x46, 0x4A, 0x3E}) << unites({0x61, 0xC0});
    QTest::newRow("complementer abc") << "complementer" << "abc" << unites({0x1E, 0x1D, 0x1C});
    QTest::newRow("complementer digits") << "complementer" << "0123456789" << "ONMLKJIHGF";
    QTest::newRow("complementer reads the low byte") << "complementer" << unites({0x0161}) << unites({0x1E});
    QTest::newRow("demelanger A095") << "demelanger" << "A095" << unites({0x1E});
    QTest::newRow("demelanger digits not a number: 0")
        << "demelanger" << "Aabc" << unites({0xBF}); // (0 - 65) mod 256
    QTest::newRow("demelanger digits partly a number: 0") << "demelanger" << "A9x5" << unites({0xBF});
    // Scrambled texts written out by hand from the format, with chosen random values.
    QTest::newRow("debrouiller m:1500, r = 0 127 65 1 99 42")
        << "debrouiller" << depuisHex("7F4F4E47004E46493E4E4B4C7E4F484A1C4E4847554E4D4E") << "m:1500";
    QTest::newRow("debrouiller a request")
        << "debrouiller"
        << depuisHex("744F4C464F4E4E482A4E494B054E474B604E4F463B4E4D46164E474D714F484B4C4E4D48274E4B48024D4F4F5D4F46"
                     "4D384E4B4A134E494A6E4F4749494E4C4D244E49477F4F48495A4E4E4D354E4B47104E474B6B4F464D464E4D47214E"
                     "494B7C4F474D574E4E47324E4A4B0D4E464F684F4647434E4C4B1E4E484F794F4847544E4E4B2F4E4A4F0A4E4649"
                     "654F464A404F484D1B4E4D49764F4D4D514F4A472C4E494E074E4646624E4F48")
        << "c:0A1B2C3D4E5F:12345678901234567890:vers101";
    QTest::newRow("debrouiller U+00E9 U+00FF U+0000 U+007F U+0080, extreme random values")
        << "debrouiller" << depuisHex("004D48487F4E4D47004D4A4B7F4F4F4F3F4C4E46") << unites({0xE9, 0xFF, 0x00, 0x7F, 0x80});
    QTest::newRow("debrouiller a digit with a high byte reads as the digit")
        << "debrouiller" << unites({0x3E, 0x4F, 0x146, 0x4A}) << "a";
}

// The group >OFJ (the digits 095 once complemented) with one digit position
// spoilt: every position must be checked, and what is not three plain digits
// reads exactly as QString::toInt reads it (0 when it is no number; signs and
// outer blanks allowed).
void TstCodec::groupesMalformes_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<ushort>("unite");
    QTest::addColumn<ushort>("attendu");

    const struct
    {
        const char *nom;
        ushort unite;
        ushort attendu[3]; // with the unit at position 1, 2, 3
    } cas[] = {
        {"'/'", 'P', {0xC0, 0xC0, 0xC0}},
        {"':'", 'E', {0xC0, 0xC0, 0xC0}},
        {"'.'", 'Q', {0xC0, 0xC0, 0xC0}},
        {"'+'", 'T', {0x61, 0xC0, 0xC0}},
        {"'-'", 'R', {0x1F, 0xC0, 0xC0}},
        {"blank", '_', {0x61, 0xC0, 0xB7}},
        {"U+007F", 0x00, {0xC0, 0xC0, 0xC0}},
        {"U+0000", 0x7F, {0xC0, 0xC0, 0xC0}},
        {"'0' with a high byte", 0x14F, {0x61, 0xBB, 0x66}},
        {"'9' with a high byte", 0x146, {0xDD, 0x61, 0x5D}},
    };
    for (const auto &c : cas)
        for (int position = 1; position <= 3; ++position)
            QTest::addRow("%s at %d", c.nom, position) << position << c.unite << c.attendu[position - 1];
}

void TstCodec::groupesMalformes()
{
    QFETCH(int, position);
    QFETCH(ushort, unite);
    QFETCH(ushort, attendu);

    QString groupe = unites({0x3E, 0x4F, 0x46, 0x4A});
    groupe[position] = QChar(unite);
    QCOMPARE(debrouiller(groupe), QString(QChar(attendu)));
    QCOMPARE(pasapas::debrouiller(groupe), QString(QChar(attendu)));
    // The same group among 23 good ones, at each place of a block of 8 or 16
    // groups that the codec may take at once: nothing leaks into its neighbours.
    const QString bon = unites({0x3E, 0x4F, 0x46, 0x4A});
    for (int place = 0; place < 24; ++place) {
        QString attendus(24, QLatin1Char('a'));
        attendus[place] = QChar(attendu);
        QCOMPARE(debrouiller(bon.repeated(place) + groupe + bon.repeated(23 - place)), attendus);
    }
}

void TstCodec::commeLaReference_data()
{
    QTest::addColumn<QString>("texte");

    QTest::newRow("empty") << QString();
    QTest::newRow("one unit") << unites({0x3E});
    QTest::newRow("two units") << unites({0x3E, 0x4F});
    QTest::newRow("three units") << unites({0x3E, 0x4F, 0x46});
    QTest::newRow("group and a half") << unites({0x3E, 0x4F, 0x46, 0x4A, 0x3E, 0x4F});
    QTest::newRow("letters") << "abcdefgh";
    QTest::newRow("blanks") << "        ";
    QTest::newRow("signs") << "+TT+-RR-";
    QTest::newRow("high bytes") << unites({0xFF3E, 0x154F, 0x2246, 0x334A});
    QTest::newRow("all low units") << toutesLesUnitesBasses();
    QTest::newRow("scrambled request") << brouiller(QStringLiteral("v:0A1B2C3D4E5F:1F2E3D4C5B6A:250:vers101"));
    QString pieges;
    for (ushort a : unitesPieges)
        for (ushort b : unitesPieges)
            pieges += unites({0x3E, a, b, 0x4A}) + unites({0x3E, 0x4F, a, b});
    QTest::newRow("tricky units in every pair of positions") << pieges;
}

void TstCodec::commeLaReference()
{
    QFETCH(QString, texte);
    QCOMPARE(debrouiller(texte), pasapas::debrouiller(texte));
}

void TstCodec::commeLaReferenceAuHasard()
{
    QRandomGenerator hasard(20261210); // fixed: a failure can be replayed
    for (int essai = 0; essai < 20000; ++essai) {
        const QString texte = texteAuHasard(hasard);
        if (debrouiller(texte) != pasapas::debrouiller(texte)) {
            QStringList hex;
            for (const QChar unite : texte)
                hex.append(QString::number(unite.unicode(), 16));
            QFAIL(qPrintable(QStringLiteral("differs from the reference on: ") + hex.join(QLatin1Char(' '))));
        }
    }
}

void TstCodec::groupesSelonLeFormat_data()
{
    QTest::addColumn<QString>("texte");

    QTest::newRow("request") << QStringLiteral("c:0A1B2C3D4E5F:12345678901234567890:vers101");
    QString unitesJusquA1FF;
    for (ushort u = 0; u <= 0x1FF; ++u)
        unitesJusquA1FF.append(QChar(u));
    QTest::newRow("units up to U+01FF") << unitesJusquA1FF;
    QTest::newRow("a frame's worth") << QString(8191, QLatin1Char('z'));
    // Every length up to three blocks of 16, whole or not, with the blocks' overlap.
    for (int longueur = 1; longueur <= 48; ++longueur)
        QTest::addRow("%d units", longueur) << unitesJusquA1FF.mid(0x150, longueur);
}

// brouiller's groups, checked against the format for the random value each
// carries: what goes on the wire, independently of debrouiller.
void TstCodec::groupesSelonLeFormat()
{
    QFETCH(QString, texte);

    const QString brouille = brouiller(texte);
    QCOMPARE(brouille.size(), 4 * texte.size());
    const QVector<int> hasards = hasardsDe(brouille);
    for (int i = 0; i < texte.size(); ++i) {
        QVERIFY2(hasards.at(i) >= 0 && hasards.at(i) <= 127, qPrintable(QString::number(i)));
        QCOMPARE(brouille.mid(4 * i, 4), pasapas::groupe(texte.at(i).unicode(), hasards.at(i)));
    }
}

// The random values are sent in clear and need no secrecy, but each must be
// uniform over 0..127, from call to call and from one unit to the next.
// Loose bounds: a fair generator fails them about once in 10^9 runs.
void TstCodec::hasardUniforme()
{
    std::array<int, 128> parValeur{};
    std::array<int, 64> parPaire{}; // high 3 bits of a value and of the next one
    int tirages = 0;
    auto compter = [&](const QString &brouille) {
        const QVector<int> hasards = hasardsDe(brouille);
        for (int i = 0; i < hasards.size(); ++i) {
            ++parValeur[size_t(hasards.at(i))];
            if (i + 1 < hasards.size())
                ++parPaire[size_t((hasards.at(i) >> 4) * 8 + (hasards.at(i + 1) >> 4))];
        }
        tirages += hasards.size();
    };
    const QString requete = QStringLiteral("v:0A1B2C3D4E5F:1F2E3D4C5B6A:999999999:12345678901234567890:vers101");
    for (int i = 0; i < 2000; ++i)
        compter(brouiller(requete));
    for (int i = 0; i < 8; ++i)
        compter(brouiller(QString(8191, QLatin1Char('a'))));

    auto khiDeux = [](const auto &comptes, double attendu) {
        double somme = 0;
        for (int n : comptes)
            somme += (n - attendu) * (n - attendu) / attendu;
        return somme;
    };
    for (int valeur = 0; valeur < 128; ++valeur)
        QVERIFY2(parValeur[size_t(valeur)] > 0, qPrintable(QString::number(valeur)));
    // 127 and 63 degrees of freedom: means 127 and 63, standard deviations 16 and 11.
    const double khiValeurs = khiDeux(parValeur, tirages / 128.0);
    QVERIFY2(khiValeurs < 260, qPrintable(QString::number(khiValeurs)));
    int paires = 0;
    for (int n : parPaire)
        paires += n;
    const double khiPaires = khiDeux(parPaire, paires / 64.0);
    QVERIFY2(khiPaires < 160, qPrintable(QString::number(khiPaires)));
}

void TstCodec::vecteurs()
{
    QFETCH(QString, operation);
    QFETCH(QString, entree);
    QFETCH(QString, sortie);

    QString (*const etape)(QString) = operation == "brouiller"      ? brouiller
                                    : operation == "debrouiller"    ? debrouiller
                                    : operation == "complementer"   ? complementer
                                                                    : demelanger;
    QCOMPARE(etape(entree), sortie);
}

void TstCodec::formeDesGroupes_data()
{
    QTest::addColumn<QString>("texte");

    QTest::newRow("one unit") << "a";
    QTest::newRow("request") << "c:0A1B2C3D4E5F:12345678901234567890:vers101";
    QTest::newRow("all low units") << toutesLesUnitesBasses();
}

// Each unit becomes a random unit up to U+007F and three digit letters "F".."O",
// the first of them one of "O".."L" (a sum never exceeds 382).
void TstCodec::formeDesGroupes()
{
    QFETCH(QString, texte);

    const QString brouille = brouiller(texte);
    QCOMPARE(brouille.size(), 4 * texte.size());
    for (int i = 0; i < brouille.size(); i += 4) {
        QVERIFY2(brouille.at(i).unicode() <= 0x7F, qPrintable(QString::number(i)));
        QVERIFY2(brouille.at(i + 1) >= 'L' && brouille.at(i + 1) <= 'O', qPrintable(QString::number(i)));
        for (int j = 2; j < 4; ++j)
            QVERIFY2(brouille.at(i + j) >= 'F' && brouille.at(i + j) <= 'O', qPrintable(QString::number(i + j)));
    }
}

void TstCodec::allerRetour_data()
{
    QTest::addColumn<QString>("texte");
    QTest::addColumn<QString>("retour");

    QTest::newRow("empty") << "" << "";
    const QString requete = QStringLiteral("v:0A1B2C3D4E5F:1F2E3D4C5B6A:250:12345678901234567890:vers101");
    QTest::newRow("printable request") << requete << requete;
    QTest::newRow("all low units in one text") << toutesLesUnitesBasses() << toutesLesUnitesBasses();
    QTest::newRow("U+0161 comes back as its low byte") << unites({0x0161}) << "a";
    QTest::newRow("U+20AC comes back as its low byte") << unites({0x20AC, 0x41}) << unites({0xAC, 0x41});
}

void TstCodec::allerRetour()
{
    QFETCH(QString, texte);
    QFETCH(QString, retour);

    QCOMPARE(debrouiller(brouiller(texte)), retour);
}

void TstCodec::chaqueUniteBasseSurvit()
{
    for (ushort u = 0; u <= 0xFF; ++u) {
        const QString texte(QChar{u});
        // Several draws, so that both small and large random values meet the unit.
        for (int essai = 0; essai < 8; ++essai)
            QVERIFY2(debrouiller(brouiller(texte)) == texte, qPrintable(QString::number(u, 16)));
    }
}

void TstCodec::deuxBrouillagesDifferent()
{
    const QString texte(64, QLatin1Char('a'));
    QVERIFY(brouiller(texte) != brouiller(texte));
}

void TstCodec::complementerEstSonInverse()
{
    const QString texte = toutesLesUnitesBasses();
    QCOMPARE(complementer(complementer(texte)), texte);
}

QTEST_GUILESS_MAIN(TstCodec)
#include "tst_codec.moc"
