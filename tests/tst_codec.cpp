#include "codec/codec.h"

#include <QtTest>

namespace {

QString unites(std::initializer_list<ushort> valeurs)
{
    QString texte;
    for (ushort valeur : valeurs)
        texte.append(QChar(valeur));
    return texte;
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
