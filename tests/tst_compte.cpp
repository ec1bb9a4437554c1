#include "identity/compte.h"

#include <QtTest>

// The account number is the first hardware address with six pairs that is
// neither all zeros nor all F, in the order the platform lists interfaces.
class TstCompte : public QObject
{
    Q_OBJECT

private slots:
    void choisirCompte_data();
    void choisirCompte();
};

void TstCompte::choisirCompte_data()
{
    QTest::addColumn<QStringList>("adresses");
    QTest::addColumn<QString>("compte");

    const QString bonne = QStringLiteral("0A:1B:2C:3D:4E:5F");
    QTest::newRow("one ethernet address") << QStringList{bonne} << "0A1B2C3D4E5F";
    QTest::newRow("empty list") << QStringList{} << "";
    QTest::newRow("only empty texts (loopback)") << QStringList{QString(), ""} << "";
    QTest::newRow("empty text first") << QStringList{"", bonne} << "0A1B2C3D4E5F";
    QTest::newRow("eight pairs") << QStringList{"00:11:22:33:44:55:66:77"} << "";
    QTest::newRow("fewer than six pairs") << QStringList{"00:11:22:33:44"} << "";
    QTest::newRow("all zeros") << QStringList{"00:00:00:00:00:00"} << "";
    QTest::newRow("all F") << QStringList{"FF:FF:FF:FF:FF:FF"} << "";
    // The comparison is exact: lower-case f is not the all-F address.
    QTest::newRow("lower-case all f") << QStringList{"ff:ff:ff:ff:ff:ff"} << "ffffffffffff";
    QTest::newRow("disqualified ones, then the first qualifying wins")
        << QStringList{"", "00:00:00:00:00:00", "FF:FF:FF:FF:FF:FF", "00:11:22:33:44:55:66:77", bonne,
                       "02:11:22:33:44:55"}
        << "0A1B2C3D4E5F";
    QTest::newRow("none qualifies")
        << QStringList{"", "00:00:00:00:00:00", "FF:FF:FF:FF:FF:FF", "00:11:22:33:44:55:66:77", "00:11"} << "";
}

void TstCompte::choisirCompte()
{
    QFETCH(QStringList, adresses);
    QFETCH(QString, compte);

    QCOMPARE(::choisirCompte(adresses), compte);
}

QTEST_GUILESS_MAIN(TstCompte)
#include "tst_compte.moc"
