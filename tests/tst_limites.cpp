// The server program at its limits: more connections than it has descriptors,
// one account or one address opening many connections, peers that vanish.
// It stays up, serves the honest clients once the load drops, tells the
// refused ones why, and no money appears or disappears.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include <QStandardPaths>
#include <QTest>

#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

using Clients = std::vector<std::unique_ptr<ClientProtocole>>;

QString virement(const QString &source, const QString &destinataire, int montant, const QString &cle)
{
    return QStringLiteral("v:%1:%2:%3:%4").arg(source, destinataire).arg(montant).arg(cle);
}

// Opens nombre connections and sends the credentials on each, without waiting.
// Without a key, the connections are only opened: they hold their descriptors.
bool ouvrir(Clients &clients, int nombre, quint16 port, const QString &compte, const QString &cle)
{
    for (int i = 0; i < nombre; ++i) {
        clients.push_back(std::make_unique<ClientProtocole>());
        if (!clients.back()->connecter(port))
            return false;
        if (!cle.isEmpty())
            clients.back()->envoyer(identifiants(compte, cle));
    }
    return true;
}

int repondus(const Clients &clients)
{
    int nombre = 0;
    for (const auto &client : clients)
        nombre += client->reponses.isEmpty() ? 0 : 1;
    return nombre;
}

} // namespace

class TstLimites : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void initTestCase_data() { lignesBases(); }
    void cleanup();

    void limiteDescripteurs_data();
    void limiteDescripteurs();
    void limiteParCompte();
    void limiteParAdresse();
    void sondesDeVie();

private:
    bool demarrer(const QStringList &options, const QStringList &enveloppe = {});
    void verifierSommes();

    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
};

void TstLimites::initTestCase()
{
    // This process holds hundreds of connections itself.
    rlimit limite{};
    if (::getrlimit(RLIMIT_NOFILE, &limite) == 0 && limite.rlim_cur < limite.rlim_max) {
        limite.rlim_cur = limite.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limite);
    }
}

void TstLimites::cleanup()
{
    fermerBancServeur(base, serveur);
}

// False when the test is skipped or cannot go on.
bool TstLimites::demarrer(const QStringList &options, const QStringList &enveloppe)
{
    QFETCH_GLOBAL(QString, genreBase);
    if (genreBase == QLatin1String("postgresql") && adressePostgresDeTest().isEmpty()) {
        QTest::qSkip(sansPostgres, __FILE__, __LINE__);
        return false;
    }
    base = std::make_unique<BaseDeTest>(genreBase);
    serveur = std::make_unique<ProcessusServeur>(base->url);
    serveur->enveloppe = enveloppe;
    if (base->estPrete()
        && serveur->demarrer(QStringList{QStringLiteral("--idle-timeout"), QStringLiteral("30")} + options))
        return true;
    QTest::qFail(qPrintable(QStringLiteral("the server did not start: ") + serveur->journal()), __FILE__, __LINE__);
    return false;
}

// Every amount on an account came from a credit.
void TstLimites::verifierSommes()
{
    QCOMPARE(base->sommeSoldes(), base->sommeCredits());
}

void TstLimites::limiteDescripteurs_data()
{
    QTest::addColumn<int>("parCompte");
    QTest::newRow("connections per account limited as by default") << 64;
    QTest::newRow("connections per account beyond the descriptors") << 100000;
}

// One account opens more connections than the server has descriptors. With
// the limit per account, the connections beyond it are told so and closed;
// without it, the server takes what its descriptors allow, leaves the rest
// waiting and keeps serving the connections it has. Once the attacker lets
// go, the waiting clients are served.
void TstLimites::limiteDescripteurs()
{
    QFETCH(int, parCompte);
    const QString prlimit = QStandardPaths::findExecutable(QStringLiteral("prlimit"));
    if (prlimit.isEmpty())
        QSKIP("prlimit (util-linux) is not installed");
    const int descripteurs = 256;
    if (!demarrer({QStringLiteral("--max-connections-per-account"), QString::number(parCompte),
                   QStringLiteral("--max-connections-per-address"), QStringLiteral("100000")},
                  {prlimit, QStringLiteral("--nofile=%1:%1").arg(descripteurs), QStringLiteral("--")}))
        return;

    ClientProtocole a, b;
    QVERIFY(identifierClient(a, serveur->port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(b, serveur->port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(*base, compteA, 1000));

    Clients attaque;
    if (parCompte < descripteurs) {
        QVERIFY(ouvrir(attaque, descripteurs + 150, serveur->port, compteC, cleC));
        QTRY_COMPARE_WITH_TIMEOUT(repondus(attaque), int(attaque.size()), 60000);
        // Logins sent all at once: those beyond the keys checked at once are
        // refused unchecked, the rest up to the account's limit let in.
        int acceptees = 0;
        for (const auto &client : attaque) {
            const QString reponse = client->reponses.first();
            if (reponse.startsWith(QLatin1String("i:")))
                QVERIFY2(reponse.contains(QLatin1String("Too many connections"))
                             || reponse.contains(QLatin1String("Too many keys are being checked")),
                         qPrintable(reponse));
            else
                ++acceptees;
        }
        QVERIFY2(acceptees > 0 && acceptees <= parCompte, qPrintable(QString::number(acceptees)));
    } else {
        // Held open first: logins refused at once would free their descriptors
        // as fast as a slow machine opens new ones.
        QVERIFY(ouvrir(attaque, descripteurs + 150, serveur->port, compteC, QString()));
        QVERIFY(serveur->journalContient(QStringLiteral("not accepting connections"), 60000));
        for (const auto &client : attaque)
            client->envoyer(identifiants(compteC, cleC));
        QTRY_VERIFY_WITH_TIMEOUT(repondus(attaque) > descripteurs / 2, 60000);
    }

    // The connections already open are served as before.
    QCOMPARE(a.demander(virement(compteA, compteB, 10, cleA)), QLatin1String("s:") + compteB + QLatin1String(":10"));
    QCOMPARE(b.reponse(1), QLatin1String("r:10:") + compteA);
    ClientProtocole enAttente;
    QVERIFY(enAttente.connecter(serveur->port));
    enAttente.envoyer(identifiants(compteB, cleB));

    // The attacker lets go: the waiting client is served, and a new account can be made.
    for (const auto &client : attaque)
        client->socket.abort();
    QCOMPARE(enAttente.reponse(0, 60000), QStringLiteral("m:10"));
    if (parCompte >= descripteurs)
        QVERIFY(serveur->journalContient(QStringLiteral("accepting connections again")));
    ClientProtocole nouveau;
    QVERIFY(identifierClient(nouveau, serveur->port, QStringLiteral("FEED00000001"), cleC,
                             QStringLiteral("n:FEED00000001")));
    QCOMPARE(b.demander(virement(compteB, compteA, 4, cleB)), QLatin1String("s:") + compteA + QLatin1String(":4"));
    QCOMPARE(a.reponse(2), QLatin1String("r:4:") + compteB);
    QCOMPARE(serveur->processus.state(), QProcess::Running);
    verifierSommes();
    QCOMPARE(base->nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteB)), 6);
}

// One account may hold only so many connections; the next one is told why,
// and a slot freed is a slot taken again.
void TstLimites::limiteParCompte()
{
    if (!demarrer({QStringLiteral("--max-connections-per-account"), QStringLiteral("3")}))
        return;
    Clients deA, deB;
    QVERIFY(ouvrir(deA, 3, serveur->port, compteA, cleA));
    QVERIFY(ouvrir(deB, 3, serveur->port, compteB, cleB));
    QTRY_COMPARE_WITH_TIMEOUT(repondus(deA) + repondus(deB), 6, 30000);
    QVERIFY(crediter(*base, compteA, 100));

    ClientProtocole deTrop;
    QVERIFY(deTrop.connecter(serveur->port));
    const QString refus = deTrop.demander(identifiants(compteA, cleA));
    QVERIFY2(refus.startsWith(QLatin1String("i:")) && refus.contains(QLatin1String("Too many connections")),
             qPrintable(refus));
    QVERIFY(deTrop.attendreFermeture());
    QVERIFY(serveur->journal().contains(
        QStringLiteral("refused account-connections from 127.0.0.1 account %1 (already 3 connections)").arg(compteA)));

    // The account's connections still serve, and hear of money sent to them.
    QCOMPARE(deA[0]->demander(virement(compteA, compteB, 30, cleA)),
             QLatin1String("s:") + compteB + QLatin1String(":30"));
    for (const auto &client : deB)
        QCOMPARE(client->reponse(1), QLatin1String("r:30:") + compteA);

    deA[1]->socket.disconnectFromHost();
    QVERIFY(deA[1]->attendreFermeture());
    QTRY_VERIFY_WITH_TIMEOUT(serveur->journal().count(QStringLiteral(" closed")) >= 2, 30000);
    ClientProtocole remplacant;
    QVERIFY(identifierClient(remplacant, serveur->port, compteA, cleA, QStringLiteral("m:70")));
    verifierSommes();
}

// One address may hold only so many connections, authenticated or not;
// another address is not held up by it.
void TstLimites::limiteParAdresse()
{
    if (!demarrer({QStringLiteral("--max-connections-per-address"), QStringLiteral("3")}))
        return;
    ClientProtocole a, b, silencieux;
    QVERIFY(identifierClient(a, serveur->port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(b, serveur->port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(silencieux.connecter(serveur->port));
    QVERIFY(crediter(*base, compteA, 100));

    ClientProtocole deTrop;
    QVERIFY(deTrop.connecter(serveur->port));
    const QString refus = deTrop.reponse();
    QVERIFY2(refus.startsWith(QLatin1String("i:")) && refus.contains(QLatin1String("Too many connections")),
             qPrintable(refus));
    QVERIFY(deTrop.attendreFermeture());
    QVERIFY(serveur->journal().contains(
        QStringLiteral("refused address-connections from 127.0.0.1 account - (already 3 connections)")));

    // Loopback answers on every 127.x.y.z address: another source address.
    ClientProtocole ailleurs;
    QVERIFY(ailleurs.socket.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    QVERIFY(identifierClient(ailleurs, serveur->port, compteC, cleC, QLatin1String("n:") + compteC));
    QCOMPARE(a.demander(virement(compteA, compteC, 25, cleA)), QLatin1String("s:") + compteC + QLatin1String(":25"));
    QCOMPARE(ailleurs.reponse(1), QLatin1String("r:25:") + compteA);

    silencieux.socket.disconnectFromHost();
    QVERIFY(silencieux.attendreFermeture());
    QTRY_VERIFY_WITH_TIMEOUT(serveur->journal().count(QStringLiteral(" closed")) >= 2, 30000);
    ClientProtocole remplacant;
    QVERIFY(identifierClient(remplacant, serveur->port, compteB, cleB, QStringLiteral("m:0")));
    verifierSommes();
}

// Every accepted connection is probed once idle, so that a peer that vanished
// without a word does not hold its slot for good.
void TstLimites::sondesDeVie()
{
    const QString ss = QStandardPaths::findExecutable(QStringLiteral("ss"));
    if (ss.isEmpty())
        QSKIP("ss (iproute2) is not installed");
    if (!demarrer({}))
        return;
    ClientProtocole a, anonyme;
    QVERIFY(identifierClient(a, serveur->port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(anonyme.connecter(serveur->port));

    QProcess sockets;
    sockets.start(ss, {QStringLiteral("-tnoH"), QStringLiteral("state"), QStringLiteral("established"),
                       QStringLiteral("( sport = :%1 )").arg(serveur->port)});
    QVERIFY(sockets.waitForFinished(30000));
    const QStringList lignes =
        QString::fromLocal8Bit(sockets.readAllStandardOutput()).trimmed().split(QLatin1Char('\n'));
    QCOMPARE(lignes.size(), 2);
    for (const QString &ligne : lignes)
        QVERIFY2(ligne.contains(QLatin1String("timer:(keepalive,")), qPrintable(ligne));
}

QTEST_GUILESS_MAIN(TstLimites)
#include "tst_limites.moc"
