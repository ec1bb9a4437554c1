// Several server programs on one database serve as one: money reaches the
// recipient on whichever server it is connected, "e:" only when it is on
// none, credits are told at once, a killed server lets its accounts go within
// the bound, and two servers draining one account never spend more than it holds.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include "server/grappe/presencepostgres.h"

#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <vector>

namespace {

QString virement(const QString &source, const QString &destinataire, int montant, const QString &cle)
{
    return QStringLiteral("v:%1:%2:%3:%4").arg(source, destinataire).arg(montant).arg(cle);
}

QString envoye(const QString &destinataire, int montant)
{
    return QStringLiteral("s:%1:%2").arg(destinataire).arg(montant);
}

QString recu(int montant, const QString &source)
{
    return QStringLiteral("r:%1:%2").arg(montant).arg(source);
}

void lignePostgres()
{
    QTest::addColumn<QString>("genreBase");
    QTest::newRow("postgresql") << QStringLiteral("postgresql");
}

} // namespace

class TestGrappe : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void virementEntreServeurs_data() { lignePostgres(); }
    void virementEntreServeurs();
    void destinataireAbsent_data() { lignesBases(); }
    void destinataireAbsent();
    void creditPendantConnexion_data() { lignesBases(); }
    void creditPendantConnexion();
    void serveurTue_data() { lignePostgres(); }
    void serveurTue();
    void deuxServeursVident_data() { lignePostgres(); }
    void deuxServeursVident();
    void ecouteCoupee_data() { lignePostgres(); }
    void ecouteCoupee();

private:
    void ouvrir(int nombreServeurs);
    qint64 solde(const QString &compte);
    bool identifier(ClientProtocole &client, int serveur, const QString &compte, const QString &cle,
                    const QString &attendu);

    std::unique_ptr<BaseDeTest> base;
    std::vector<std::unique_ptr<ProcessusServeur>> serveurs;
};

// Up to nombreServeurs servers on one fresh database: all of them on
// PostgreSQL, one on SQLite (one machine, one server).
void TestGrappe::ouvrir(int nombreServeurs)
{
    QFETCH(QString, genreBase);
    if (genreBase == QLatin1String("postgresql") && adressePostgresDeTest().isEmpty())
        QSKIP(sansPostgres);
    base = std::make_unique<BaseDeTest>(genreBase);
    QVERIFY(base->estPrete());
    if (!base->estPostgres())
        nombreServeurs = 1;
    for (int i = 0; i < nombreServeurs; ++i) {
        serveurs.push_back(std::make_unique<ProcessusServeur>(base->url));
        QVERIFY2(serveurs.back()->demarrer(), qPrintable(serveurs.back()->journal()));
    }
}

#define OUVRIR(nombre)                                                                                                 \
    do {                                                                                                               \
        ouvrir(nombre);                                                                                                \
        if (QTest::currentTestFailed() || serveurs.empty())                                                            \
            return;                                                                                                    \
    } while (false)

void TestGrappe::cleanup()
{
    // Whatever happened, no money was made or lost.
    if (base && base->estPrete() && !QTest::currentTestFailed())
        QCOMPARE(base->sommeSoldes(), base->sommeCredits());
    bool arretes = true;
    for (auto &serveur : serveurs) {
        const bool arrete = serveur->arreter();
        if (QTest::currentTestFailed() || !arrete)
            qWarning().noquote() << "server log:\n" << serveur->journal();
        arretes = arretes && arrete;
    }
    serveurs.clear();
    base.reset();
    QVERIFY2(arretes, "the servers stop cleanly on SIGTERM");
}

qint64 TestGrappe::solde(const QString &compte)
{
    return base->nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compte));
}

bool TestGrappe::identifier(ClientProtocole &client, int serveur, const QString &compte, const QString &cle,
                            const QString &attendu)
{
    return identifierClient(client, serveurs[size_t(serveur)]->port, compte, cle, attendu);
}

void TestGrappe::virementEntreServeurs()
{
    OUVRIR(2);
    ClientProtocole a, b, autreB;
    QVERIFY(identifier(a, 0, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, 1, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(identifier(autreB, 0, compteB, cleB, QStringLiteral("m:0")));
    QVERIFY(crediter(*base, compteA, 100));
    QVERIFY(a.attendreCredit(QStringLiteral("r:100:QoVi$")));

    // Every connection of the recipient hears of it once, on either server.
    QCOMPARE(a.demander(virement(compteA, compteB, 30, cleA)), envoye(compteB, 30));
    QCOMPARE(b.reponse(1), recu(30, compteA));
    QCOMPARE(autreB.reponse(1), recu(30, compteA));
    QCOMPARE(a.demander(virement(compteA, compteB, 30, cleA)), envoye(compteB, 30));
    QCOMPARE(b.reponse(2), recu(30, compteA));
    QCOMPARE(autreB.reponse(2), recu(30, compteA));

    // And back the other way, from the second server.
    QCOMPARE(b.demander(virement(compteB, compteA, 5, cleB)), envoye(compteA, 5));
    QCOMPARE(a.reponse(3), recu(5, compteB));
    QCOMPARE(b.reponses.size(), 4);
    QCOMPARE(autreB.reponses.size(), 3);
    QCOMPARE(a.reponses.size(), 4);

    QCOMPARE(solde(compteA), 45);
    QCOMPARE(solde(compteB), 55);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 3);
}

void TestGrappe::destinataireAbsent()
{
    OUVRIR(2);
    ClientProtocole a;
    QVERIFY(identifier(a, 0, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(crediter(*base, compteA, 100));
    // An account that exists, connected nowhere.
    QVERIFY(base->executer({QStringLiteral("INSERT INTO accounts (account, key_hash, balance, created_at)"
                                           " VALUES ('%1', 'x', 0, 'then')")
                                .arg(compteC)}));
    QCOMPARE(a.demander(virement(compteA, compteC, 10, cleA)), QLatin1String("e:") + compteC);
    if (!base->estPostgres())
        return;

    // Connected to the other server: the transfer is made.
    ClientProtocole b;
    QVERIFY(identifier(b, 1, compteB, cleB, QLatin1String("n:") + compteB));
    QCOMPARE(a.demander(virement(compteA, compteB, 10, cleA)), envoye(compteB, 10));
    QCOMPARE(b.reponse(1), recu(10, compteA));

    // A server stopped cleanly lets its accounts go at once.
    QVERIFY(serveurs[1]->arreter());
    serveurs.pop_back();
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM presence")), 1);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM servers")), 1);
    QCOMPARE(a.demander(virement(compteA, compteB, 10, cleA)), QLatin1String("e:") + compteB);
    QCOMPARE(solde(compteA), 90);
}

void TestGrappe::creditPendantConnexion()
{
    OUVRIR(2);
    const int autre = int(serveurs.size()) - 1;
    ClientProtocole a, autreA, premierB, b;
    QVERIFY(identifier(a, 0, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(autreA, autre, compteA, cleA, QStringLiteral("m:0")));
    QVERIFY(identifier(premierB, 0, compteB, cleB, QLatin1String("n:") + compteB));
    premierB.socket.disconnectFromHost();
    QVERIFY(premierB.attendreFermeture());
    // Money credited before a login is in its balance, and is not told again.
    QVERIFY(crediter(*base, compteB, 20));
    QVERIFY(identifier(b, 0, compteB, cleB, QStringLiteral("m:20")));

    QVERIFY(crediter(*base, compteA, 50));
    QVERIFY(a.attendreCredit(QStringLiteral("r:50:QoVi$")));
    QVERIFY(autreA.attendreCredit(QStringLiteral("r:50:QoVi$")));
    QVERIFY(crediter(*base, compteB, 7));
    QVERIFY(b.attendreCredit(QStringLiteral("r:7:QoVi$")));

    // Each told once, to its own account only, and the replies to requests keep their places.
    QCOMPARE(a.credits, QStringList{QStringLiteral("r:50:QoVi$")});
    QCOMPARE(autreA.credits, QStringList{QStringLiteral("r:50:QoVi$")});
    QCOMPARE(b.credits, QStringList{QStringLiteral("r:7:QoVi$")});
    QCOMPARE(a.demander(virement(compteA, compteB, 50, cleA)), envoye(compteB, 50));
    QCOMPARE(b.reponse(1), recu(50, compteA));
    QCOMPARE(solde(compteB), 77);
}

void TestGrappe::serveurTue()
{
    OUVRIR(2);
    ClientProtocole a, x;
    QVERIFY(identifier(a, 0, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(x, 1, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(*base, compteA, 1000000));
    QVERIFY(a.attendreCredit(QStringLiteral("r:1000000:QoVi$")));
    QCOMPARE(a.demander(virement(compteA, compteB, 1, cleA)), envoye(compteB, 1));

    serveurs[1]->tuer();
    // Until the killed server's heartbeat is too old, transfers to its
    // account go through; then "e:". Each confirmed one is in the ledger.
    QElapsedTimer chrono;
    chrono.start();
    int confirmes = 1;
    QString reponse;
    while (chrono.elapsed() < 120000) {
        reponse = a.demander(virement(compteA, compteB, 1, cleA));
        if (reponse != envoye(compteB, 1))
            break;
        ++confirmes;
    }
    QCOMPARE(reponse, QLatin1String("e:") + compteB);
    qInfo() << "the killed server's account was let go after" << chrono.elapsed() << "ms," << confirmes
            << "transfers confirmed";
    // The bound, one heartbeat and a margin for a loaded machine.
    QVERIFY(chrono.elapsed() < (limitePoulsS + 20) * 1000);
    QCOMPARE(solde(compteB), confirmes);
    QCOMPARE(base->nombre(QStringLiteral("SELECT SUM(amount) FROM transfers WHERE recipient = '%1'").arg(compteB)),
             confirmes);
    QCOMPARE(solde(compteA), 1000000 - confirmes);
}

// Both servers spend one account at once: each transfer all or nothing,
// never below 0, and every confirmed one in the database.
void TestGrappe::deuxServeursVident()
{
    OUVRIR(2);
    const int initial = 1000;
    const int montant = 7;
    const int parClient = 20;
    const int clientsParServeur = 8;
    ClientProtocole b, createur;
    QVERIFY(identifier(b, 0, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(identifier(createur, 1, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(crediter(*base, compteA, initial));
    QVERIFY(createur.attendreCredit(QStringLiteral("r:%1:QoVi$").arg(initial)));

    std::vector<std::unique_ptr<ClientProtocole>> clients;
    for (int i = 0; i < 2 * clientsParServeur; ++i) {
        clients.push_back(std::make_unique<ClientProtocole>());
        QVERIFY(identifier(*clients.back(), i % 2, compteA, cleA, QStringLiteral("m:%1").arg(initial)));
    }
    for (auto &client : clients) {
        for (int j = 0; j < parClient; ++j)
            client->envoyer(virement(compteA, compteB, montant, cleA));
    }
    const auto tousRepondus = [&] {
        for (const auto &client : clients) {
            if (client->reponses.size() < 1 + parClient)
                return false;
        }
        return true;
    };
    QVERIFY(QTest::qWaitFor(tousRepondus, 120000));

    int confirmes = 0;
    for (const auto &client : clients) {
        // The credit committed before their balances were read: not told on top of them.
        QCOMPARE(client->credits, QStringList());
        for (int j = 1; j <= parClient; ++j) {
            const QString reponse = client->reponses.at(j);
            if (reponse == envoye(compteB, montant))
                ++confirmes;
            else
                QCOMPARE(reponse, QStringLiteral("i:Your balance is insufficient for this transfer"));
        }
    }
    const qint64 reste = solde(compteA);
    QVERIFY(reste >= 0);
    // More was asked than there was: the account was drained as far as it goes.
    QVERIFY(reste < montant);
    QCOMPARE(qint64(confirmes) * montant, initial - reste);
    QCOMPARE(base->nombre(QStringLiteral("SELECT SUM(amount) FROM transfers")), qint64(confirmes) * montant);
    QCOMPARE(solde(compteB), qint64(confirmes) * montant);
    QTRY_COMPARE_WITH_TIMEOUT(b.reponses.size(), 1 + confirmes, 30000);
}

// The database ends the connections that listen for the notifications: each
// server says so once, connects again by itself, and hears the others again.
void TestGrappe::ecouteCoupee()
{
    OUVRIR(2);
    ClientProtocole a, b;
    QVERIFY(identifier(a, 0, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, 1, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(*base, compteA, 100));
    QVERIFY(a.attendreCredit(QStringLiteral("r:100:QoVi$")));

    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(pg_terminate_backend(pid)) FROM pg_stat_activity"
                                         " WHERE datname = current_database() AND application_name LIKE '%-avis'")),
             2);
    for (auto &serveur : serveurs) {
        QVERIFY(serveur->journalContient(QStringLiteral("database notifications lost")));
        QVERIFY(serveur->journalContient(QStringLiteral("database notifications are back")));
        QCOMPARE(serveur->journal().count(QStringLiteral("database notifications lost")), 1);
    }

    // The presence of each came back with it.
    QCOMPARE(a.demander(virement(compteA, compteB, 30, cleA)), envoye(compteB, 30));
    QCOMPARE(b.reponse(1), recu(30, compteA));
    QCOMPARE(b.demander(virement(compteB, compteA, 10, cleB)), envoye(compteA, 10));
    QCOMPARE(a.reponse(2), recu(10, compteB));
    QVERIFY(crediter(*base, compteB, 5));
    QVERIFY(b.attendreCredit(QStringLiteral("r:5:QoVi$")));
}

QTEST_MAIN(TestGrappe)
#include "tst_grappe.moc"
