// The server behind a trusted proxy (--proxy-from): the client that a PROXY
// protocol header names is the connection's for the log and every limit; a
// trusted peer without a valid header is closed; any other peer is never read
// for a header. Real HAProxy and stunnel in front of it: tst_repartiteur and
// tst_tunnel.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include <QRegularExpression>
#include <QTest>

namespace {

QByteArray enteteV1(const QString &adresse, int port)
{
    return QStringLiteral("PROXY TCP4 %1 127.0.0.1 %2 50885\r\n").arg(adresse).arg(port).toLatin1();
}

// Version 2, LOCAL: a proxy's own connection (a health check), with no client.
const QByteArray enteteV2Local = QByteArray::fromHex("0d0a0d0a000d0a515549540a" "20" "00" "0000");

// Version 2, PROXY over TCP/IPv4: 198.51.100.9 port 1234 to 127.0.0.1 port 50885.
const QByteArray enteteV2 = QByteArray::fromHex("0d0a0d0a000d0a515549540a" "21" "11" "000c"
                                                "c6336409" "7f000001" "04d2" "c6c5");

QStringList optionsAvecProxy(const QString &proxys, const QStringList &autres = {})
{
    return QStringList{QStringLiteral("--idle-timeout"), QStringLiteral("1"), QStringLiteral("--proxy-from"), proxys}
           + autres;
}

} // namespace

class TestEntreeProxy : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void clientNommeParLEntete_data();
    void clientNommeParLEntete();
    void enteteManquantOuInvalide_data();
    void enteteManquantOuInvalide();
    void sourceNonListeeJamaisLue();
    void limiteParAdresseReelle();

private:
    bool demarrer(const QStringList &options);

    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
};

bool TestEntreeProxy::demarrer(const QStringList &options)
{
    base = std::make_unique<BaseDeTest>(QStringLiteral("sqlite"));
    if (!base->estPrete())
        return false;
    serveur = std::make_unique<ProcessusServeur>(base->url);
    return serveur->demarrer(options);
}

void TestEntreeProxy::cleanup()
{
    fermerBancServeur(base, serveur);
}

void TestEntreeProxy::clientNommeParLEntete_data()
{
    QTest::addColumn<QByteArray>("entete");
    QTest::addColumn<QString>("client");
    QTest::newRow("version 1") << enteteV1(QStringLiteral("203.0.113.7"), 4000) << "203.0.113.7 port 4000";
    QTest::newRow("version 2") << enteteV2 << "198.51.100.9 port 1234";
    QTest::newRow("version 2, no client") << enteteV2Local << "127.0.0.1 port ";
}

// The header and the first frame in one write, as a proxy sends them when the
// client is quick: the frame after the header is read as the client's.
void TestEntreeProxy::clientNommeParLEntete()
{
    QFETCH(QByteArray, entete);
    QFETCH(QString, client);
    QVERIFY2(demarrer(optionsAvecProxy(QStringLiteral("127.0.0.0/8"))), qPrintable(serveur->journal()));
    const QString adresse = client.section(QLatin1Char(' '), 0, 0);

    ClientProtocole nouveau;
    QVERIFY(nouveau.connecter(serveur->port));
    nouveau.envoyerOctets(entete + construireTrame(brouiller(identifiants(compteA, cleA) + QLatin1String(":vers101"))));
    QCOMPARE(nouveau.reponse(), QLatin1String("n:") + compteA);
    QVERIFY2(serveur->journalContient(QStringLiteral("connection from %1").arg(client)), qPrintable(serveur->journal()));
    QVERIFY(serveur->journal().contains(QStringLiteral("via 127.0.0.1")));
    QVERIFY(serveur->journalContient(QStringLiteral("created from %1 account %2").arg(adresse, compteA)));

    // A wrong key counts against the address the header gives.
    ClientProtocole devin;
    QVERIFY(devin.connecter(serveur->port));
    devin.envoyerOctets(entete);
    QCOMPARE(devin.demander(identifiants(compteA, cleB)), QStringLiteral("a:"));
    QVERIFY2(serveur->journalContient(QStringLiteral("refused wrong-key from %1 account %2").arg(adresse, compteA)),
             qPrintable(serveur->journal()));
}

void TestEntreeProxy::enteteManquantOuInvalide_data()
{
    QTest::addColumn<QByteArray>("envoi");
    QTest::addColumn<QString>("motif");
    QTest::newRow("a frame instead") << construireTrame(brouiller(identifiants(compteA, cleA)))
                                     << "(not a PROXY header)";
    QTest::newRow("malformed version 1") << QByteArray("PROXY TCP4 203.0.113.300 127.0.0.1 1 2\r\n")
                                         << "refused proxy-header from 127.0.0.1";
    QTest::newRow("nothing") << QByteArray() << "(no PROXY header in time)";
    QTest::newRow("half a header") << QByteArray("PROXY TCP4 203.0.") << "(no PROXY header in time)";
}

// The trusted peer is closed without a reply (it is a proxy, not a client),
// and the log says why, with the proxy's address.
void TestEntreeProxy::enteteManquantOuInvalide()
{
    QFETCH(QByteArray, envoi);
    QFETCH(QString, motif);
    QVERIFY2(demarrer(optionsAvecProxy(QStringLiteral("127.0.0.1"))), qPrintable(serveur->journal()));
    ClientProtocole proxy;
    QVERIFY(proxy.connecter(serveur->port));
    if (!envoi.isEmpty())
        proxy.envoyerOctets(envoi);
    QVERIFY(proxy.attendreFermeture());
    QVERIFY(proxy.reponses.isEmpty());
    QVERIFY2(serveur->journalContient(motif), qPrintable(serveur->journal()));
    QVERIFY(serveur->journal().contains(QStringLiteral("refused proxy-header from 127.0.0.1 account -")));
}

// A header from a peer that is not listed is the start of a frame like any
// other bytes (here one too long): nobody can claim an address by sending one.
void TestEntreeProxy::sourceNonListeeJamaisLue()
{
    QVERIFY2(demarrer(optionsAvecProxy(QStringLiteral("127.0.0.2"))), qPrintable(serveur->journal()));
    ClientProtocole imposteur;
    QVERIFY(imposteur.connecter(serveur->port));
    imposteur.envoyerOctets(enteteV1(QStringLiteral("203.0.113.7"), 4000));
    QCOMPARE(imposteur.reponse(), QStringLiteral("i:The request is too long"));
    QVERIFY(serveur->journalContient(QStringLiteral("refused oversized-frame from 127.0.0.1")));
    QVERIFY(!serveur->journal().contains(QStringLiteral("203.0.113.7")));
}

// Many clients behind one proxy each have the whole per-address limit.
void TestEntreeProxy::limiteParAdresseReelle()
{
    QVERIFY2(demarrer(optionsAvecProxy(QStringLiteral("127.0.0.1"),
                                       {QStringLiteral("--max-connections-per-address"), QStringLiteral("1")})),
             qPrintable(serveur->journal()));
    ClientProtocole premier;
    ClientProtocole autreClient;
    ClientProtocole deTrop;
    for (ClientProtocole *client : {&premier, &autreClient, &deTrop})
        QVERIFY(client->connecter(serveur->port));
    premier.envoyerOctets(enteteV1(QStringLiteral("203.0.113.7"), 4000));
    QCOMPARE(premier.demander(identifiants(compteA, cleA)), QLatin1String("n:") + compteA);
    autreClient.envoyerOctets(enteteV1(QStringLiteral("203.0.113.8"), 4000));
    QCOMPARE(autreClient.demander(identifiants(compteB, cleB)), QLatin1String("n:") + compteB);
    deTrop.envoyerOctets(enteteV1(QStringLiteral("203.0.113.7"), 4001));
    QCOMPARE(deTrop.reponse(),
             QStringLiteral("i:Too many connections are open from your address, please try again later"));
    QVERIFY(serveur->journalContient(QStringLiteral("refused address-connections from 203.0.113.7")));
}

QTEST_GUILESS_MAIN(TestEntreeProxy)
#include "tst_entreeproxy.moc"
