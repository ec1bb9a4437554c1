// The server's counts of recent events per source (wrong keys, new
// accounts): how they grow, fade and stay within their memory, and the
// delays and sources derived from them.

#include "server/acces/compteursrecents.h"

#include <QRegularExpression>
#include <QTest>

class TestCompteursRecents : public QObject
{
    Q_OBJECT

private slots:
    void compter_data();
    void compter();
    void delais_data();
    void delais();
    void sources_data();
    void sources();
};

void TestCompteursRecents::compter_data()
{
    // evenements: "source@ms" counted in order; attendus: "source@ms=count";
    // period 1000 ms.
    QTest::addColumn<int>("maxSources");
    QTest::addColumn<QStringList>("evenements");
    QTest::addColumn<QStringList>("attendus");
    QTest::addColumn<int>("taille");

    QTest::newRow("one event lasts one period") << 10 << QStringList{"a@0"}
                                                << QStringList{"a@0=1", "a@999=1", "a@1000=0", "b@0=0"} << 1;
    QTest::newRow("events pile up and fade one per period")
        << 10 << QStringList{"a@0", "a@0", "a@0"} << QStringList{"a@0=3", "a@1500=2", "a@2999=1", "a@3000=0"} << 1;
    QTest::newRow("after a quiet spell counting starts over")
        << 10 << QStringList{"a@0", "a@0", "a@5000"} << QStringList{"a@5000=1", "a@5999=1", "a@6000=0"} << 1;
    QTest::newRow("a steady source keeps its count")
        << 10 << QStringList{"a@0", "a@500", "a@1000", "a@1500"} << QStringList{"a@1500=3"} << 1;
    QTest::newRow("sources counted apart") << 10 << QStringList{"a@0", "b@0", "b@10"}
                                           << QStringList{"a@10=1", "b@10=2"} << 2;
    QTest::newRow("beyond the maximum the oldest source is dropped")
        << 2 << QStringList{"a@0", "a@0", "b@1", "c@2"} << QStringList{"a@2=0", "b@2=1", "c@2=1"} << 2;
    QTest::newRow("a source counted again is no longer the oldest")
        << 2 << QStringList{"a@0", "b@1", "a@2", "c@3"} << QStringList{"a@3=2", "b@3=0", "c@3=1"} << 2;
    QTest::newRow("forgotten sources take no room")
        << 10 << QStringList{"a@0", "b@0", "c@0", "d@5000"} << QStringList{"d@5000=1"} << 1;
    QTest::newRow("the last event is remembered")
        << 10 << QStringList{"a@0", "a@700"} << QStringList{"a@800=2", "a@1999=1"} << 1;
}

void TestCompteursRecents::compter()
{
    QFETCH(int, maxSources);
    QFETCH(QStringList, evenements);
    QFETCH(QStringList, attendus);
    QFETCH(int, taille);

    CompteursRecents compteurs(maxSources, 1000);
    qint64 dernier = 0;
    for (const QString &evenement : evenements) {
        const QStringList parties = evenement.split(QLatin1Char('@'));
        dernier = parties[1].toLongLong();
        const int avant = compteurs.nombre(parties[0], dernier);
        QCOMPARE(compteurs.compter(parties[0], dernier), avant + 1);
        QCOMPARE(compteurs.dernier(parties[0], dernier), dernier);
    }
    for (const QString &attendu : attendus) {
        const QStringList parties = attendu.split(QRegularExpression(QStringLiteral("[@=]")));
        QVERIFY2(compteurs.nombre(parties[0], parties[1].toLongLong()) == parties[2].toInt(), qPrintable(attendu));
    }
    // Counting prunes what has faded.
    compteurs.compter(QStringLiteral("temoin"), dernier);
    QCOMPARE(compteurs.taille(), qMin(maxSources, taille + 1));
}

void TestCompteursRecents::delais_data()
{
    QTest::addColumn<int>("echecs");
    QTest::addColumn<qint64>("delaiMs");
    QTest::newRow("none") << 0 << qint64(0);
    QTest::newRow("first") << 1 << qint64(1000);
    QTest::newRow("second doubles") << 2 << qint64(2000);
    QTest::newRow("sixth") << 6 << qint64(32000);
    QTest::newRow("seventh capped") << 7 << qint64(60000);
    QTest::newRow("far beyond") << 100000 << qint64(60000);
}

void TestCompteursRecents::delais()
{
    QFETCH(int, echecs);
    QFETCH(qint64, delaiMs);
    QCOMPARE(delaiApresEchecs(echecs), delaiMs);
}

void TestCompteursRecents::sources_data()
{
    QTest::addColumn<QString>("adresse");
    QTest::addColumn<QString>("source");
    QTest::newRow("IPv4") << "203.0.113.7" << "203.0.113.7";
    QTest::newRow("IPv4 mapped in IPv6") << "::ffff:203.0.113.7" << "203.0.113.7";
    QTest::newRow("IPv6 by its /64") << "2001:db8:1:2:3:4:5:6" << "2001:db8:1:2::/64";
    QTest::newRow("IPv6 same /64") << "2001:db8:1:2:ffff::1" << "2001:db8:1:2::/64";
    QTest::newRow("IPv6 loopback") << "::1" << "::/64";
    QTest::newRow("not an address") << "" << "";
}

void TestCompteursRecents::sources()
{
    QFETCH(QString, adresse);
    QFETCH(QString, source);
    QCOMPARE(sourceDeAdresse(adresse), source);
}

QTEST_GUILESS_MAIN(TestCompteursRecents)
#include "tst_compteursrecents.moc"
