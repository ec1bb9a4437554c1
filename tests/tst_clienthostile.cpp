// The server program against clients that misbehave: garbage, frames left
// unfinished or cut, the longest frame, many connections opened and dropped,
// a flood of requests, a client that never reads its replies. Meanwhile the
// well-behaved clients are served and no money is lost.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <memory>
#include <vector>

namespace {

// Long enough that a connection the server waits for is still there when the
// good clients have been served, even on a slow machine.
const int delaiInactiviteS = 10;

QString virement(const QString &source, const QString &destinataire, int montant, const QString &cle)
{
    return QStringLiteral("v:%1:%2:%3:%4").arg(source, destinataire).arg(montant).arg(cle);
}

// A request frame, as the client sends it.
QByteArray trameRequete(const QString &requete)
{
    return construireTrame(brouiller(requete + QLatin1String(":vers101")));
}

QByteArray octetsAleatoires(QRandomGenerator &hasard, int taille)
{
    QByteArray octets(taille, Qt::Uninitialized);
    for (char &octet : octets)
        octet = char(hasard.bounded(256));
    return octets;
}

// The balance of every account, as the administrator lists them.
QMap<QString, qint64> soldesListes(const QString &base)
{
    QMap<QString, qint64> soldes;
    const ResultatCommande liste = lancerCommande({QStringLiteral("--database"), base, QStringLiteral("accounts")});
    if (liste.code != 0)
        return soldes;
    const QStringList lignes = liste.sortie.trimmed().split(QLatin1Char('\n'));
    for (const QString &ligne : lignes.mid(1)) {
        const QStringList champs = ligne.simplified().split(QLatin1Char(' '));
        soldes.insert(champs.value(0), champs.value(1).toLongLong());
    }
    return soldes;
}

} // namespace

class TstClientHostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data() { lignesBases(); }
    void init();
    void cleanup();

    void connexionsHostiles_data();
    void connexionsHostiles();
    void delugeDeVirements();
    void delugeSansLecture_data();
    void delugeSansLecture();

private:
    bool identifier(ClientProtocole &client, const QString &compte, const QString &cle, const QString &attendu);
    int connexionsFermees();

    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
};

void TstClientHostile::init()
{
    ouvrirBancServeur(base, serveur, {QStringLiteral("--idle-timeout"), QString::number(delaiInactiviteS)});
}

void TstClientHostile::cleanup()
{
    fermerBancServeur(base, serveur);
}

bool TstClientHostile::identifier(ClientProtocole &client, const QString &compte, const QString &cle,
                                  const QString &attendu)
{
    return identifierClient(client, serveur->port, compte, cle, attendu);
}

// How many connections the server has seen end.
int TstClientHostile::connexionsFermees()
{
    static const QRegularExpression fermee(QStringLiteral("#\\d+ closed$"), QRegularExpression::MultilineOption);
    int nombre = 0;
    for (auto trouve = fermee.globalMatch(serveur->journal()); trouve.hasNext(); trouve.next())
        ++nombre;
    return nombre;
}

void TstClientHostile::connexionsHostiles_data()
{
    QTest::addColumn<QByteArray>("octets");
    QTest::addColumn<int>("nombre");      // connections that each send octets
    QTest::addColumn<bool>("abandon");    // each closes as soon as it has sent them
    QTest::addColumn<QString>("motif");   // what the server's last notice to each says, when it can arrive

    QRandomGenerator hasard(20240611);
    QByteArray corpsAleatoires;
    for (int i = 0; i < 60; ++i)
        corpsAleatoires += trameBrute(octetsAleatoires(hasard, hasard.bounded(300)));
    const QByteArray inachevee = trameRequete(identifiants(compteC, cleC)).left(100);

    QTest::newRow("random bytes") << octetsAleatoires(hasard, 4096) << 1 << false << QString();
    QTest::newRow("frames of random bytes") << corpsAleatoires << 1 << false << QString();
    QTest::newRow("100 frames left unfinished") << inachevee << 100 << false << QStringLiteral("in time");
    QTest::newRow("100 frames cut by a close") << inachevee << 100 << true << QString();
    QTest::newRow("100 connections opened and dropped") << QByteArray() << 100 << true << QString();
    // The server stops reading at the header; closing on unread bytes may reset the connection.
    QTest::newRow("10 frames of 65535 bytes") << trameBrute(octetsAleatoires(hasard, 0xFFFF)) << 10 << false
                                              << QString();
    // Accepted connections of A that are gone before the money to A is passed on.
    QTest::newRow("20 logins of A dropped") << trameRequete(identifiants(compteA, cleA)) << 20 << true << QString();
}

void TstClientHostile::connexionsHostiles()
{
    QFETCH(QByteArray, octets);
    QFETCH(int, nombre);
    QFETCH(bool, abandon);
    QFETCH(QString, motif);

    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(*base, compteB, 100));
    const int fermeesAvant = connexionsFermees();

    std::vector<std::unique_ptr<ClientProtocole>> hostiles;
    for (int i = 0; i < nombre; ++i) {
        hostiles.push_back(std::make_unique<ClientProtocole>());
        QVERIFY(hostiles.back()->connecter(serveur->port));
        if (!octets.isEmpty())
            hostiles.back()->envoyerOctets(octets);
        if (abandon)
            hostiles.back()->socket.disconnectFromHost();
    }

    // The good clients are served while the others are still there.
    QCOMPARE(b.demander(virement(compteB, compteA, 30, cleB)), QLatin1String("s:") + compteA + QLatin1String(":30"));
    QCOMPARE(a.reponse(1), QLatin1String("r:30:") + compteB);
    if (!abandon && motif == QLatin1String("in time")) {
        for (const auto &hostile : hostiles)
            QVERIFY(hostile->estConnecte());
    }

    // Each misbehaving connection ends, on the server's side too.
    if (!abandon) {
        for (const auto &hostile : hostiles) {
            QVERIFY(hostile->attendreFermeture(delaiInactiviteS * 1000 + 30000));
            if (!motif.isEmpty())
                QVERIFY2(hostile->reponses.value(0).contains(motif), qPrintable(hostile->reponses.value(0)));
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(connexionsFermees(), fermeesAvant + nombre, delaiInactiviteS * 1000 + 30000);

    // Nothing was lost, and the good clients are still served.
    QVERIFY(a.estConnecte() && b.estConnecte());
    QCOMPARE(a.reponses.size(), 2);
    // Dropped logins of A may still hold the keys checked at once for A from
    // this address: the owner is then told to try again, and gets in.
    ClientProtocole plusTard;
    QVERIFY(identifierEnInsistant(plusTard, serveur->port, compteA, cleA, QStringLiteral("m:30")));
    QCOMPARE(a.demander(virement(compteA, compteB, 10, cleA)), QLatin1String("s:") + compteB + QLatin1String(":10"));
    QCOMPARE(b.reponse(2), QLatin1String("r:10:") + compteA);
    const QMap<QString, qint64> attendus{{compteA, 20}, {compteB, 80}};
    QCOMPARE(soldesListes(base->url), attendus);
}

void TstClientHostile::delugeDeVirements()
{
    ClientProtocole a, b, c;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(identifier(c, compteC, cleC, QLatin1String("n:") + compteC));
    QVERIFY(crediter(*base, compteA, 1000000));
    QVERIFY(crediter(*base, compteC, 5));

    const int nombre = 2000;
    QByteArray deluge;
    QStringList envoyes, recus;
    qint64 somme = 0;
    for (int rang = 1; rang <= nombre; ++rang) {
        const int montant = rang % 10 + 1;
        deluge += trameRequete(virement(compteA, compteB, montant, cleA));
        envoyes << QStringLiteral("s:%1:%2").arg(compteB).arg(montant);
        recus << QStringLiteral("r:%1:%2").arg(montant).arg(compteA);
        somme += montant;
    }

    // All of A's requests in one write; C asks right behind them and is not
    // kept waiting for all of them.
    a.envoyerOctets(deluge);
    QCOMPARE(c.demander(virement(compteC, compteA, 5, cleC)), QLatin1String("s:") + compteA + QLatin1String(":5"));
    QVERIFY2(a.reponses.size() < 1 + nombre, "the server answers others during one client's flood");

    // Every request answered, in order, and every amount passed on, in order.
    QVERIFY(!a.reponse(nombre + 1, 120000).isNull());
    QVERIFY(!b.reponse(nombre, 60000).isNull());
    QCOMPARE(a.reponses.mid(1).filter(QRegularExpression(QStringLiteral("^s:"))), envoyes);
    QCOMPARE(a.reponses.filter(QRegularExpression(QStringLiteral("^r:"))),
             QStringList(QLatin1String("r:5:") + compteC));
    QCOMPARE(b.reponses.mid(1), recus);

    const QMap<QString, qint64> attendus{{compteA, 1000000 - somme + 5}, {compteB, somme}, {compteC, 0}};
    QCOMPARE(soldesListes(base->url), attendus);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), qint64(nombre + 1));
    ClientProtocole plusTard;
    QVERIFY(identifier(plusTard, compteB, cleB, QStringLiteral("m:") + QString::number(somme)));
}

void TstClientHostile::delugeSansLecture_data()
{
    QTest::addColumn<QByteArray>("requete"); // repeated; each one is answered
    QTest::addColumn<int>("nombre");

    QTest::newRow("credentials again") << trameRequete(identifiants(compteA, cleA)) << 30000;
    QTest::newRow("transfers to nobody") << trameRequete(virement(compteA, QStringLiteral("DDDDDDDDDDDD"), 1, cleA))
                                         << 30000;
}

void TstClientHostile::delugeSansLecture()
{
    QFETCH(QByteArray, requete);
    QFETCH(int, nombre);

    ClientProtocole b, c;
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(identifier(c, compteC, cleC, QLatin1String("n:") + compteC));
    QVERIFY(crediter(*base, compteC, 50));

    // A logs in, then floods requests and never reads a reply: its socket takes
    // in one byte and no more, so the replies pile up on the server's side.
    QTcpSocket a;
    a.setReadBufferSize(1);
    a.connectToHost(QHostAddress::LocalHost, serveur->port);
    QVERIFY(a.waitForConnected(10000));
    QByteArray deluge = trameRequete(identifiants(compteA, cleA));
    for (int i = 0; i < nombre; ++i)
        deluge += requete;
    a.write(deluge);

    // The others are served meanwhile.
    QCOMPARE(c.demander(virement(compteC, compteB, 20, cleC)), QLatin1String("s:") + compteB + QLatin1String(":20"));
    QCOMPARE(b.reponse(1), QLatin1String("r:20:") + compteC);

    // The server cuts the client that does not read rather than keep its replies.
    QVERIFY(serveur->journalContient(QStringLiteral("does not read its replies"), 120000));
    QTRY_COMPARE_WITH_TIMEOUT(connexionsFermees(), 1, 30000);

    QVERIFY(b.estConnecte() && c.estConnecte());
    ClientProtocole plusTard;
    QVERIFY(identifier(plusTard, compteB, cleB, QStringLiteral("m:20")));
    const QMap<QString, qint64> attendus{{compteA, 0}, {compteB, 20}, {compteC, 30}};
    QCOMPARE(soldesListes(base->url), attendus);
}

QTEST_GUILESS_MAIN(TstClientHostile)
#include "tst_clienthostile.moc"
