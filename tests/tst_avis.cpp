// The payloads of the database's money notifications: what the triggers
// write is read back, and anything else is turned away without harm.

#include "server/grappe/avis.h"

#include <QTest>

class TestAvis : public QObject
{
    Q_OBJECT

private slots:
    void lecture_data();
    void lecture();
    void reponse();
};

void TestAvis::lecture_data()
{
    QTest::addColumn<QByteArray>("charge");
    QTest::addColumn<bool>("lisible");
    QTest::addColumn<QString>("reponse");  // to the recipient's connections
    QTest::addColumn<QByteArray>("origine");

    const QString rien;
    const QByteArray aucune;
    QTest::newRow("transfer") << QByteArray("t:17:00AABBCCDDEE:30:0123456789AB:qovi-server-1") << true
                              << QStringLiteral("r:30:0123456789AB") << QByteArray("qovi-server-1");
    QTest::newRow("credit") << QByteArray("c:4:0123456789AB:2147483647::") << true
                            << QStringLiteral("r:2147483647:QoVi$") << aucune;
    QTest::newRow("origin with colons") << QByteArray("t:1:00AABBCCDDEE:1:0123456789AB:a:b::c") << true
                                        << QStringLiteral("r:1:0123456789AB") << QByteArray("a:b::c");
    QTest::newRow("origin with other bytes") << (QByteArray("c:1:00AABBCCDDEE:5::") + QByteArray("\xff\x01 x")) << true
                                             << QStringLiteral("r:5:QoVi$") << QByteArray("\xff\x01 x");

    QTest::newRow("empty") << QByteArray() << false << rien << aucune;
    QTest::newRow("separators only") << QByteArray(":::::") << false << rien << aucune;
    QTest::newRow("one field missing") << QByteArray("t:1:00AABBCCDDEE:30:0123456789AB") << false << rien << aucune;
    QTest::newRow("unknown kind") << QByteArray("x:1:00AABBCCDDEE:30:0123456789AB:") << false << rien << aucune;
    QTest::newRow("kind of two letters") << QByteArray("tt:1:00AABBCCDDEE:30:0123456789AB:") << false << rien << aucune;
    QTest::newRow("id missing") << QByteArray("t::00AABBCCDDEE:30:0123456789AB:") << false << rien << aucune;
    QTest::newRow("id not a number") << QByteArray("t:1e3:00AABBCCDDEE:30:0123456789AB:") << false << rien << aucune;
    QTest::newRow("account too short") << QByteArray("t:1:00AABBCCDDE:30:0123456789AB:") << false << rien << aucune;
    QTest::newRow("account in lower case") << QByteArray("t:1:00aabbccddee:30:0123456789AB:") << false << rien
                                           << aucune;
    QTest::newRow("account not hexadecimal") << QByteArray("t:1:00AABBCCDDEG:30:0123456789AB:") << false << rien
                                             << aucune;
    QTest::newRow("account with a NUL") << QByteArray("t:1:00AABB\0CDDEE:30:0123456789AB:", 33) << false << rien
                                        << aucune;
    QTest::newRow("account not ASCII") << QByteArray("t:1:00AABBCCDD\xc3\x89:30:0123456789AB:") << false << rien
                                       << aucune;
    QTest::newRow("amount zero") << QByteArray("t:1:00AABBCCDDEE:0:0123456789AB:") << false << rien << aucune;
    QTest::newRow("amount negative") << QByteArray("t:1:00AABBCCDDEE:-5:0123456789AB:") << false << rien << aucune;
    QTest::newRow("amount with a sign") << QByteArray("t:1:00AABBCCDDEE:+5:0123456789AB:") << false << rien << aucune;
    QTest::newRow("amount with a blank") << QByteArray("t:1:00AABBCCDDEE: 5:0123456789AB:") << false << rien << aucune;
    QTest::newRow("amount past the ceiling") << QByteArray("t:1:00AABBCCDDEE:2147483648:0123456789AB:") << false
                                             << rien << aucune;
    QTest::newRow("amount past 64 bits") << QByteArray("t:1:00AABBCCDDEE:99999999999999999999999:0123456789AB:")
                                         << false << rien << aucune;
    QTest::newRow("transfer without sender") << QByteArray("t:1:00AABBCCDDEE:30::") << false << rien << aucune;
    QTest::newRow("transfer from a bad sender") << QByteArray("t:1:00AABBCCDDEE:30:QoVi$:") << false << rien << aucune;
    QTest::newRow("credit with a sender") << QByteArray("c:1:00AABBCCDDEE:30:0123456789AB:") << false << rien
                                          << aucune;
    QTest::newRow("very long") << (QByteArray("t:1:00AABBCCDDEE:30:0123456789AB") + QByteArray(100000, ':')) << true
                               << QStringLiteral("r:30:0123456789AB") << QByteArray(99999, ':');
}

void TestAvis::lecture()
{
    QFETCH(QByteArray, charge);
    QFETCH(bool, lisible);
    QFETCH(QString, reponse);
    QFETCH(QByteArray, origine);

    const auto avis = lireAvis(charge);
    QCOMPARE(avis.has_value(), lisible);
    if (!avis)
        return;
    QCOMPARE(reponseAvis(*avis), reponse);
    QCOMPARE(avis->origine, origine);
}

// A credit is told as money from the service itself, which the client shows by name.
void TestAvis::reponse()
{
    AvisArgent credit;
    credit.genre = AvisArgent::Genre::Credit;
    credit.compte = QStringLiteral("0123456789AB");
    credit.montant = 50;
    QCOMPARE(reponseAvis(credit), QStringLiteral("r:50:QoVi$"));
}

QTEST_GUILESS_MAIN(TestAvis)
#include "tst_avis.moc"
