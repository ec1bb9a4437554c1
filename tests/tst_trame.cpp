#include "wire/trame.h"

#include <QtTest>

namespace {

// A device that the test fills piece by piece, as a socket would be.
class Arrivee
{
public:
    Arrivee() { tampon.open(QIODevice::ReadOnly); }
    void recevoir(const QByteArray &octets) { tampon.buffer().append(octets); }
    QBuffer tampon;
};

} // namespace

class TstTrame : public QObject
{
    Q_OBJECT

private slots:
    void construireTrame_data();
    void construireTrame();
    void longueurDeTrame_data();
    void longueurDeTrame();
    void texteTropLong();
    void corpsEnPlusieursMorceaux();
    void deuxTramesALaSuite();
    void trameDeLongueurNulle();
    void lireTexteTrame_data();
    void lireTexteTrame();
};

void TstTrame::construireTrame_data()
{
    QTest::addColumn<QString>("texte");
    QTest::addColumn<QByteArray>("trame");

    QTest::newRow("abc") << "abc" << QByteArray::fromHex("000A00000006006100620063");
    QTest::newRow("empty text") << "" << QByteArray::fromHex("000400000000");
    QTest::newRow("null text") << QString() << QByteArray::fromHex("0004FFFFFFFF");
    QTest::newRow("unit above U+00FF") << QString(QChar(0x20AC)) << QByteArray::fromHex("00060000000220AC");
}

void TstTrame::construireTrame()
{
    QFETCH(QString, texte);
    QFETCH(QByteArray, trame);

    QCOMPARE(::construireTrame(texte).toHex(' '), trame.toHex(' '));
}

void TstTrame::longueurDeTrame_data()
{
    QTest::addColumn<int>("unites");

    for (int unites : {1, 43, 172, 1000, 32764, tailleMaxTexteTrame})
        QTest::addRow("%d units", unites) << unites;
}

// The length field counts the bytes after it: always the frame's size minus 2.
void TstTrame::longueurDeTrame()
{
    QFETCH(int, unites);

    const QByteArray trame = ::construireTrame(QString(unites, QLatin1Char('x')));
    QCOMPARE(trame.size(), 6 + 2 * unites);
    const int longueur = (quint8(trame[0]) << 8) | quint8(trame[1]);
    QCOMPARE(longueur, trame.size() - 2);
}

void TstTrame::texteTropLong()
{
    QCOMPARE(tailleMaxTexteTrame, 32765);
    const QByteArray plusGrande = ::construireTrame(QString(32765, QLatin1Char('x')));
    QCOMPARE(plusGrande.size(), 65536);
    QCOMPARE(plusGrande.left(2), QByteArray::fromHex("FFFE"));
    QVERIFY(::construireTrame(QString(32766, QLatin1Char('x'))).isEmpty());
}

void TstTrame::corpsEnPlusieursMorceaux()
{
    const QByteArray trame = ::construireTrame(QStringLiteral("abc"));
    Arrivee arrivee;
    quint16 taille = 0;
    QByteArray corps;

    arrivee.recevoir(trame.left(1));
    QVERIFY(!prendreCorpsTrame(arrivee.tampon, taille, corps));
    QCOMPARE(taille, quint16(0));

    arrivee.recevoir(trame.mid(1, 1));
    QVERIFY(!prendreCorpsTrame(arrivee.tampon, taille, corps));
    QCOMPARE(taille, quint16(10));

    arrivee.recevoir(trame.mid(2, 5));
    QVERIFY(!prendreCorpsTrame(arrivee.tampon, taille, corps));
    QCOMPARE(taille, quint16(10)); // the header is not read twice
    QVERIFY(corps.isEmpty());

    arrivee.recevoir(trame.mid(7));
    QVERIFY(prendreCorpsTrame(arrivee.tampon, taille, corps));
    QCOMPARE(corps, trame.mid(2));
    QCOMPARE(taille, quint16(0));
    QVERIFY(!prendreCorpsTrame(arrivee.tampon, taille, corps));
}

void TstTrame::deuxTramesALaSuite()
{
    const QByteArray premiere = ::construireTrame(QStringLiteral("premier"));
    const QByteArray seconde = ::construireTrame(QStringLiteral("second"));
    Arrivee arrivee;
    arrivee.recevoir(premiere + seconde);
    quint16 taille = 0;
    QByteArray corps;

    QVERIFY(prendreCorpsTrame(arrivee.tampon, taille, corps));
    QCOMPARE(::lireTexteTrame(corps), QStringLiteral("premier"));
    QVERIFY(prendreCorpsTrame(arrivee.tampon, taille, corps));
    QCOMPARE(::lireTexteTrame(corps), QStringLiteral("second"));
    QVERIFY(!prendreCorpsTrame(arrivee.tampon, taille, corps));
    QCOMPARE(taille, quint16(0));
}

void TstTrame::trameDeLongueurNulle()
{
    Arrivee arrivee;
    arrivee.recevoir(QByteArray::fromHex("0000") + ::construireTrame(QStringLiteral("suite")));
    quint16 taille = 0;
    QByteArray corps = "old";

    QVERIFY(prendreCorpsTrame(arrivee.tampon, taille, corps));
    QVERIFY(corps.isEmpty());
    QVERIFY(::lireTexteTrame(corps).isEmpty());
    QVERIFY(prendreCorpsTrame(arrivee.tampon, taille, corps));
    QCOMPARE(::lireTexteTrame(corps), QStringLiteral("suite"));
}

void TstTrame::lireTexteTrame_data()
{
    QTest::addColumn<QByteArray>("corps");
    QTest::addColumn<QString>("texte");
    QTest::addColumn<bool>("nul");

    QTest::newRow("well-formed") << QByteArray::fromHex("00000006006100620063") << "abc" << false;
    QTest::newRow("empty text") << QByteArray::fromHex("00000000") << "" << false;
    QTest::newRow("null text") << QByteArray::fromHex("FFFFFFFF") << "" << true;
    QTest::newRow("odd byte count") << QByteArray::fromHex("00000003006100") << "" << false;
    QTest::newRow("announces more than it has") << QByteArray::fromHex("0000000800610062") << "" << false;
    QTest::newRow("trailing extra bytes") << QByteArray::fromHex("000000020061FF") << "" << false;
    QTest::newRow("shorter than a count") << QByteArray::fromHex("0000") << "" << false;
    QTest::newRow("no bytes") << QByteArray() << "" << false;
}

// A body that is not exactly one well-formed string reads as an empty text.
void TstTrame::lireTexteTrame()
{
    QFETCH(QByteArray, corps);
    QFETCH(QString, texte);
    QFETCH(bool, nul);

    const QString lu = ::lireTexteTrame(corps);
    QCOMPARE(lu, texte);
    if (nul)
        QVERIFY(lu.isNull());
}

QTEST_GUILESS_MAIN(TstTrame)
#include "tst_trame.moc"
