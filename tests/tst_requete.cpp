// The server's reading of a request text: which requests it accepts, and what
// it makes of the ones it refuses.

#include "server/protocole/requete.h"

#include <QTest>

Q_DECLARE_METATYPE(Requete::Genre)

class TestRequete : public QObject
{
    Q_OBJECT

private slots:
    void analyse_data();
    void analyse();
};

void TestRequete::analyse_data()
{
    QTest::addColumn<QString>("texte");
    QTest::addColumn<Requete::Genre>("genre");
    QTest::addColumn<QString>("compte");
    QTest::addColumn<QString>("destinataire");
    QTest::addColumn<int>("montant");

    const QString a = QStringLiteral("0123456789AB");
    const QString b = QStringLiteral("00AABBCCDDEE");
    const QString k = QStringLiteral("12345678901234567890");
    using G = Requete::Genre;

    QTest::newRow("credentials") << QStringLiteral("c:%1:%2:vers101").arg(a, k) << G::Identifiants << a << QString() << 0;
    QTest::newRow("transfer") << QStringLiteral("v:%1:%2:250:%3:vers101").arg(a, b, k) << G::Virement << a << b << 250;
    QTest::newRow("largest amount") << QStringLiteral("v:%1:%2:999999999:%3:vers101").arg(a, b, k) << G::Virement << a
                                    << b << 999999999;

    QTest::newRow("no version tag") << QStringLiteral("c:%1:%2").arg(a, k) << G::Rejet << QString() << QString() << 0;
    QTest::newRow("other version") << QStringLiteral("c:%1:%2:vers100").arg(a, k) << G::Rejet << QString() << QString()
                                   << 0;
    QTest::newRow("tag not at the end") << QStringLiteral("c:%1:%2:vers101 ").arg(a, k) << G::Rejet << QString()
                                        << QString() << 0;
    QTest::newRow("empty") << QString() << G::Rejet << QString() << QString() << 0;
    QTest::newRow("tag alone") << QStringLiteral(":vers101") << G::Rejet << QString() << QString() << 0;
    QTest::newRow("unknown kind") << QStringLiteral("x:%1:%2:vers101").arg(a, k) << G::Rejet << QString() << QString()
                                  << 0;
    QTest::newRow("upper-case kind") << QStringLiteral("C:%1:%2:vers101").arg(a, k) << G::Rejet << QString()
                                     << QString() << 0;

    const G malformes = G::IdentifiantsMalformes;
    QTest::newRow("account too short") << QStringLiteral("c:0123456789A:%1:vers101").arg(k) << malformes << QString()
                                       << QString() << 0;
    QTest::newRow("account in lower case") << QStringLiteral("c:0123456789ab:%1:vers101").arg(k) << malformes
                                           << QString() << QString() << 0;
    QTest::newRow("account not hex") << QStringLiteral("c:0123456789AG:%1:vers101").arg(k) << malformes << QString()
                                     << QString() << 0;
    QTest::newRow("key of 19 digits") << QStringLiteral("c:%1:1234567890123456789:vers101").arg(a) << malformes
                                      << QString() << QString() << 0;
    QTest::newRow("key with a letter") << QStringLiteral("c:%1:1234567890123456789A:vers101").arg(a) << malformes
                                       << QString() << QString() << 0;
    QTest::newRow("key missing") << QStringLiteral("c:%1:vers101").arg(a) << malformes << QString() << QString() << 0;
    QTest::newRow("extra field") << QStringLiteral("c:%1:%2:x:vers101").arg(a, k) << malformes << QString() << QString()
                                 << 0;

    const G refuse = G::VirementMalforme;
    QTest::newRow("amount 0") << QStringLiteral("v:%1:%2:0:%3:vers101").arg(a, b, k) << refuse << QString()
                              << QString() << 0;
    QTest::newRow("amount not a number") << QStringLiteral("v:%1:%2:abc:%3:vers101").arg(a, b, k) << refuse
                                         << QString() << QString() << 0;
    QTest::newRow("amount with sign") << QStringLiteral("v:%1:%2:+5:%3:vers101").arg(a, b, k) << refuse << QString()
                                      << QString() << 0;
    QTest::newRow("negative amount") << QStringLiteral("v:%1:%2:-5:%3:vers101").arg(a, b, k) << refuse << QString()
                                     << QString() << 0;
    QTest::newRow("amount too big") << QStringLiteral("v:%1:%2:1000000000:%3:vers101").arg(a, b, k) << refuse
                                    << QString() << QString() << 0;
    QTest::newRow("amount past 32 bits") << QStringLiteral("v:%1:%2:4294967301:%3:vers101").arg(a, b, k) << refuse
                                         << QString() << QString() << 0;
    QTest::newRow("amount empty") << QStringLiteral("v:%1:%2::%3:vers101").arg(a, b, k) << refuse << QString()
                                  << QString() << 0;
    QTest::newRow("bad recipient") << QStringLiteral("v:%1:00aabbccddee:5:%2:vers101").arg(a, k) << refuse << QString()
                                   << QString() << 0;
    QTest::newRow("recipient is the sender") << QStringLiteral("v:%1:%1:5:%2:vers101").arg(a, k) << refuse << QString()
                                             << QString() << 0;
    QTest::newRow("bad own account") << QStringLiteral("v:XYZ:%1:5:%2:vers101").arg(b, k) << refuse << QString()
                                     << QString() << 0;
    QTest::newRow("bad key") << QStringLiteral("v:%1:%2:5:123:vers101").arg(a, b) << refuse << QString() << QString()
                             << 0;
    QTest::newRow("field missing") << QStringLiteral("v:%1:%2:5:vers101").arg(a, b) << refuse << QString() << QString()
                                   << 0;
}

void TestRequete::analyse()
{
    QFETCH(QString, texte);
    QFETCH(Requete::Genre, genre);
    QFETCH(QString, compte);
    QFETCH(QString, destinataire);
    QFETCH(int, montant);

    const Requete requete = analyserRequete(texte);
    QCOMPARE(requete.genre, genre);
    QCOMPARE(requete.compte, compte);
    QCOMPARE(requete.destinataire, destinataire);
    QCOMPARE(requete.montant, montant);
    if (genre == Requete::Genre::Identifiants || genre == Requete::Genre::Virement)
        QCOMPARE(requete.cle, QStringLiteral("12345678901234567890"));
    else
        QVERIFY(requete.cle.isEmpty());
    // The client shows what follows the last colon of a notice: the reason must not have one.
    if (genre == Requete::Genre::Rejet || genre == Requete::Genre::VirementMalforme) {
        QVERIFY(!requete.motif.isEmpty());
        QVERIFY(!requete.motif.contains(QLatin1Char(':')));
    }
}

QTEST_GUILESS_MAIN(TestRequete)
#include "tst_requete.moc"
