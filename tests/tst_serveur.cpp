// The server program against a client built on the shared codec and frames:
// accounts, keys, transfers, refusals, bad input, time-outs and the admin
// commands, on SQLite and (when available) PostgreSQL.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include "server/protocole/connexionclient.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

// A notice the client can show: "i:" and a sentence without a colon.
bool estAvis(const QString &reponse)
{
    return reponse.startsWith(QLatin1String("i:")) && reponse.size() > 2 && reponse.count(QLatin1Char(':')) == 1;
}

// Loopback addresses other than 127.0.0.1, one per client, as if each came from another machine.
QHostAddress adresseBouclage(int i)
{
    return QHostAddress(QStringLiteral("127.0.%1.%2").arg(1 + i / 250).arg(1 + i % 250));
}

QString compteNumero(int i)
{
    return QStringLiteral("FEED%1").arg(i, 8, 10, QLatin1Char('0'));
}

using Foule = std::vector<std::unique_ptr<ClientProtocole>>;

int nombreRepondus(const Foule &foule)
{
    return int(std::count_if(foule.cbegin(), foule.cend(), [](const auto &client) { return !client->reponses.isEmpty(); }));
}

// The wrong keys answered as such ("a:"), not those refused unchecked ("i:").
int nombreRefusees(const Foule &foule)
{
    return int(std::count_if(foule.cbegin(), foule.cend(),
                             [](const auto &client) { return client->reponses.value(0) == QLatin1String("a:"); }));
}

const QString occupe = QStringLiteral("i:Too many keys are being checked, please try again in a few seconds");

} // namespace

class TestServeur : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data() { lignesBases(); }
    void init();
    void cleanup();

    void nouveauCompteEtCompteConnu();
    void mauvaiseCle_data();
    void mauvaiseCle();
    void identificationsSimultanees();
    void proprietaireJamaisEnferme();
    void devinettesRalenties_data();
    void devinettesRalenties();
    void devinettesPartagees();
    void reussiteNePardonnePas();
    void proprietaireDerriereLaMemeAdresse();
    void fermetureLibereAussitot();
    void devinettesSansCompteurs();
    void creationsLimitees();
    void creationsPartagees();
    void identificationPendantCreations();
    void virementPendantIdentifications();
    void requetesDansLOrdre();
    void identifiantsMalformes_data();
    void identifiantsMalformes();
    void requetesRejetees_data();
    void requetesRejetees();
    void virement();
    void virementRefuse_data();
    void virementRefuse();
    void virementAvantIdentification();
    void plafond();
    void tramesMalformees_data();
    void tramesMalformees();
    void inactivite();
    void administration();

private:
    bool identifier(ClientProtocole &client, const QString &compte, const QString &cle, const QString &attendu);
    ResultatCommande admin(const QStringList &arguments);
    qint64 solde(const QString &compte);
    bool connecterAilleurs(ClientProtocole &client, int i);

    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
};

void TestServeur::init()
{
    ouvrirBancServeur(base, serveur);
}

void TestServeur::cleanup()
{
    // Whatever happened, no money was made or lost.
    if (base && base->estPrete() && !QTest::currentTestFailed())
        QCOMPARE(base->sommeSoldes(), base->sommeCredits());
    fermerBancServeur(base, serveur);
}

bool TestServeur::connecterAilleurs(ClientProtocole &client, int i)
{
    if (client.connecterDepuis(adresseBouclage(i), serveur->port))
        return true;
    qWarning() << "cannot connect from" << adresseBouclage(i) << client.socket.errorString();
    return false;
}

bool TestServeur::identifier(ClientProtocole &client, const QString &compte, const QString &cle,
                             const QString &attendu)
{
    return identifierClient(client, serveur->port, compte, cle, attendu);
}

ResultatCommande TestServeur::admin(const QStringList &arguments)
{
    return lancerCommande(QStringList{QStringLiteral("--database"), base->url} + arguments);
}

qint64 TestServeur::solde(const QString &compte)
{
    return base->nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compte));
}

void TestServeur::nouveauCompteEtCompteConnu()
{
    ClientProtocole premier;
    QVERIFY(identifier(premier, compteA, cleA, QLatin1String("n:") + compteA));
    ClientProtocole second;
    QVERIFY(identifier(second, compteA, cleA, QStringLiteral("m:0")));
    QCOMPARE(admin({QStringLiteral("credit"), compteA, QStringLiteral("1500")}).code, 0);
    ClientProtocole troisieme;
    QVERIFY(identifier(troisieme, compteA, cleA, QStringLiteral("m:1500")));
    QVERIFY(premier.estConnecte() && second.estConnecte());

    // The key is kept only as a salted hash, and never logged.
    const QVariantList empreintes = base->lire(QStringLiteral("SELECT key_hash FROM accounts"));
    QCOMPARE(empreintes.size(), 1);
    QVERIFY(!empreintes[0].toString().contains(cleA));
    QVERIFY(empreintes[0].toString().startsWith(QLatin1String("pbkdf2-sha256$")));
    QVERIFY(serveur->journal().contains(compteA));
    QVERIFY(!serveur->journal().contains(cleA));
}

void TestServeur::mauvaiseCle_data()
{
    QTest::addColumn<bool>("memeAdresse");
    QTest::newRow("right key from another address") << false;
    QTest::newRow("right key from the guesser's address") << true;
}

void TestServeur::mauvaiseCle()
{
    QFETCH(bool, memeAdresse);
    ClientProtocole proprietaire;
    QVERIFY(identifier(proprietaire, compteA, cleA, QLatin1String("n:") + compteA));

    ClientProtocole intrus;
    QVERIFY(connecterAilleurs(intrus, 0));
    QElapsedTimer duree;
    duree.start();
    intrus.envoyer(identifiants(compteA, cleB));
    QVERIFY(serveur->journalContient(QStringLiteral("refused wrong-key from %1 account %2")
                                         .arg(adresseBouclage(0).toString(), compteA)));

    // The right key is accepted while the wrong one waits for its answer.
    ClientProtocole pendantDelai;
    if (memeAdresse)
        QVERIFY(connecterAilleurs(pendantDelai, 0));
    else
        QVERIFY(pendantDelai.connecter(serveur->port));
    QCOMPARE(pendantDelai.demander(identifiants(compteA, cleA)), QStringLiteral("m:0"));

    QCOMPARE(intrus.reponse(), QStringLiteral("a:"));
    QVERIFY2(duree.elapsed() >= 900, "a wrong key is answered after a delay");
    QVERIFY(intrus.attendreFermeture());
    QVERIFY(proprietaire.estConnecte() && pendantDelai.estConnecte());
}

void TestServeur::identificationsSimultanees()
{
    // A new account from three connections at once: one creates it, the others find it.
    ClientProtocole memes[3];
    for (ClientProtocole &client : memes) {
        QVERIFY(client.connecter(serveur->port));
        client.envoyer(identifiants(compteC, cleC));
    }
    QStringList reponses;
    for (ClientProtocole &client : memes)
        reponses << client.reponse();
    reponses.sort();
    QCOMPARE(reponses, QStringList({QStringLiteral("m:0"), QStringLiteral("m:0"), QLatin1String("n:") + compteC}));

    // Wrong keys sent at once: each is checked and counted, or refused
    // unchecked beyond the few checked at once; none is let through.
    const QString cles[] = {cleA, cleB, QStringLiteral("99999888887777766666")};
    ClientProtocole intrus[3];
    for (int i = 0; i < 3; ++i) {
        QVERIFY(intrus[i].connecter(serveur->port));
        intrus[i].envoyer(identifiants(compteC, cles[i]));
    }
    int refusees = 0;
    for (ClientProtocole &client : intrus) {
        const QString reponse = client.reponse(0, 60000);
        QVERIFY2(reponse == QLatin1String("a:") || reponse == occupe, qPrintable(reponse));
        refusees += reponse == QLatin1String("a:") ? 1 : 0;
        QVERIFY(client.attendreFermeture());
    }
    QVERIFY(refusees >= 2);
    QCOMPARE(serveur->journal().count(QStringLiteral("refused wrong-key from 127.0.0.1 account %1").arg(compteC)),
             refusees);
    for (ClientProtocole &client : memes)
        QVERIFY(client.estConnecte());
    // And the right key from the same address is still accepted.
    ClientProtocole plusTard;
    QVERIFY(plusTard.connecter(serveur->port));
    QCOMPARE(plusTard.demander(identifiants(compteC, cleC), 60000), QStringLiteral("m:0"));
}

void TestServeur::proprietaireJamaisEnferme()
{
    ClientProtocole proprietaire;
    QVERIFY(identifier(proprietaire, compteA, cleA, QLatin1String("n:") + compteA));
    QCOMPARE(admin({QStringLiteral("credit"), compteA, QStringLiteral("70")}).code, 0);

    // Wrong keys for A keep coming from another address, a few of them
    // dropped as soon as sent; the owner logs in again and again meanwhile.
    Foule intrus;
    int essais = 0;
    const auto relancer = [&] {
        intrus.erase(std::remove_if(intrus.begin(), intrus.end(), [](const auto &client) { return !client->estConnecte(); }),
                     intrus.end());
        while (intrus.size() < 8) {
            intrus.push_back(std::make_unique<ClientProtocole>());
            if (!connecterAilleurs(*intrus.back(), 0))
                return false;
            intrus.back()->envoyer(identifiants(compteA, QStringLiteral("%1").arg(++essais, 20, 10, QLatin1Char('0'))));
            if (essais % 4 == 0)
                intrus.back()->socket.abort();
        }
        return true;
    };
    for (int fois = 0; fois < 5; ++fois) {
        QVERIFY(relancer());
        ClientProtocole session;
        QVERIFY(identifier(session, compteA, cleA, QStringLiteral("m:70")));
        const int enAttente = int(std::count_if(intrus.cbegin(), intrus.cend(), [](const auto &client) {
            return client->estConnecte() && client->reponses.isEmpty();
        }));
        QVERIFY2(enAttente > 0, "the owner does not wait behind the wrong keys");
    }
    QVERIFY(serveur->journalContient(
        QStringLiteral("refused wrong-key from %1 account %2").arg(adresseBouclage(0).toString(), compteA)));
    QVERIFY(proprietaire.estConnecte());
    QCOMPARE(solde(compteA), 70);
}

void TestServeur::devinettesRalenties_data()
{
    QTest::addColumn<int>("adresses");
    QTest::newRow("from one address") << 1;
    QTest::newRow("from 200 addresses") << 200;
}

void TestServeur::devinettesRalenties()
{
    QFETCH(int, adresses);
    ClientProtocole proprietaire, voisin;
    QVERIFY(identifier(proprietaire, compteA, cleA, QLatin1String("n:") + compteA));
    // B shares its address with the guesser, as behind one router.
    QVERIFY(connecterAilleurs(voisin, 0));
    QCOMPARE(voisin.demander(identifiants(compteB, cleB)), QLatin1String("n:") + compteB);

    // 200 wrong keys for A at once: the answers are spread out over time, so
    // that waiting for them makes guessing slow.
    const int nombre = 200;
    Foule intrus;
    QElapsedTimer duree;
    duree.start();
    for (int i = 0; i < nombre; ++i) {
        intrus.push_back(std::make_unique<ClientProtocole>());
        QVERIFY(connecterAilleurs(*intrus.back(), i % adresses));
        intrus.back()->envoyer(identifiants(compteA, QStringLiteral("%1").arg(i, 20, 10, QLatin1Char('0'))));
    }
    const bool rapides = QTest::qWaitFor([&] { return nombreRefusees(intrus) >= 5; }, int(qMax<qint64>(0, 1000 - duree.elapsed())));
    QVERIFY2(!rapides, qPrintable(QStringLiteral("%1 wrong keys answered within a second").arg(nombreRefusees(intrus))));
    // Whatever the number of addresses, only a few of them are checked at
    // all: the others are refused at once, unchecked.
    QTRY_COMPARE_WITH_TIMEOUT(nombreRepondus(intrus) - nombreRefusees(intrus) >= nombre / 2, true, 30000);
    const int verifiees = serveur->journal().count(QStringLiteral("refused wrong-key"));
    QVERIFY2(verifiees <= 6 + 6 * (duree.elapsed() / 1000 + 1), qPrintable(QString::number(verifiees)));

    // The owner is let in all the same, and B from the guesser's address.
    ClientProtocole session, sessionVoisin;
    QVERIFY(session.connecter(serveur->port));
    QCOMPARE(session.demander(identifiants(compteA, cleA), 5000), QStringLiteral("m:0"));
    QVERIFY(connecterAilleurs(sessionVoisin, 0));
    QCOMPARE(sessionVoisin.demander(identifiants(compteB, cleB), 120000), QStringLiteral("m:0"));
    QVERIFY(nombreRefusees(intrus) < nombre / 2);
}

// The owner's right key from the guesser's own address does not wipe out
// that address's wrong keys: the next guess weighs as much as before.
void TestServeur::reussiteNePardonnePas()
{
    ClientProtocole proprietaire;
    QVERIFY(identifier(proprietaire, compteA, cleA, QLatin1String("n:") + compteA));
    const auto deviner = [&](int rang) {
        ClientProtocole intrus;
        return connecterAilleurs(intrus, 0)
               && intrus.demander(identifiants(compteA, QStringLiteral("%1").arg(rang, 20, 10, QLatin1Char('0'))),
                                  60000)
                      == QLatin1String("a:");
    };
    QVERIFY(deviner(1));
    ClientProtocole session;
    QVERIFY(connecterAilleurs(session, 0));
    QCOMPARE(session.demander(identifiants(compteA, cleA)), QStringLiteral("m:0"));
    QVERIFY(deviner(2));
    QVERIFY2(serveur->journal().contains(QStringLiteral("refused wrong-key from %1 account %2 (2 recent for the "
                                                         "account, 2 from the address)")
                                             .arg(adresseBouclage(0).toString(), compteA)),
             qPrintable(serveur->journal()));
}

// Behind one shared address (a NAT, a proxy without the PROXY protocol),
// wrong keys for A keep coming while its owner logs in from the same
// address: each try is let in within seconds, never queued behind them.
void TestServeur::proprietaireDerriereLaMemeAdresse()
{
    ClientProtocole proprietaire;
    QVERIFY(identifier(proprietaire, compteA, cleA, QLatin1String("n:") + compteA));
    Foule intrus;
    int essais = 0;
    QTimer cadence;
    connect(&cadence, &QTimer::timeout, this, [&] {
        intrus.push_back(std::make_unique<ClientProtocole>());
        if (connecterAilleurs(*intrus.back(), 1))
            intrus.back()->envoyer(identifiants(compteA, QStringLiteral("%1").arg(++essais, 20, 10, QLatin1Char('0'))));
    });
    cadence.start(200);
    for (int fois = 0; fois < 6; ++fois) {
        QTest::qWait(300);
        ClientProtocole session;
        QVERIFY(connecterAilleurs(session, 1));
        QElapsedTimer montre;
        montre.start();
        QCOMPARE(session.demander(identifiants(compteA, cleA), 5000), QStringLiteral("m:0"));
        QVERIFY2(montre.elapsed() < 5000, qPrintable(QString::number(montre.elapsed())));
    }
    cadence.stop();
    QVERIFY(serveur->journal().count(QStringLiteral("refused wrong-key from %1").arg(adresseBouclage(1).toString()))
            >= 3);
}

// A guesser that hangs up while its slowed-down answer waits frees its
// connection at once, not when the answer would have gone.
void TestServeur::fermetureLibereAussitot()
{
    ClientProtocole proprietaire;
    QVERIFY(identifier(proprietaire, compteA, cleA, QLatin1String("n:") + compteA));
    for (int rang = 1; rang <= 3; ++rang) {
        ClientProtocole intrus;
        QVERIFY(connecterAilleurs(intrus, 0));
        intrus.envoyer(identifiants(compteA, QStringLiteral("%1").arg(rang, 20, 10, QLatin1Char('0'))));
        QVERIFY(serveur->journalContient(QStringLiteral("(%1 recent for the account").arg(rang), 30000));
        // Its answer waits 1, 2 then 4 s; it leaves at once.
        const int avant = serveur->journal().count(QStringLiteral(" closed"));
        intrus.socket.abort();
        QElapsedTimer montre;
        montre.start();
        QVERIFY(QTest::qWaitFor([&] { return serveur->journal().count(QStringLiteral(" closed")) > avant; }, 30000));
        QVERIFY2(montre.elapsed() < 800, qPrintable(QString::number(montre.elapsed())));
    }
}

void TestServeur::devinettesPartagees()
{
    ClientProtocole proprietaire;
    QVERIFY(identifier(proprietaire, compteA, cleA, QLatin1String("n:") + compteA));
    ProcessusServeur autre(base->url);
    QVERIFY2(autre.demarrer(), qPrintable(autre.journal()));

    // One wrong key here, one on the other server, one after this server's
    // restart: each is counted with all the ones before.
    const auto deviner = [&](ProcessusServeur &cible, int rang) {
        ClientProtocole intrus;
        if (!intrus.connecterDepuis(adresseBouclage(0), cible.port))
            return false;
        intrus.envoyer(identifiants(compteA, QStringLiteral("%1").arg(rang, 20, 10, QLatin1Char('0'))));
        return cible.journalContient(QStringLiteral("refused wrong-key from %1 account %2 (%3 recent for the "
                                                    "account, %3 from the address)")
                                         .arg(adresseBouclage(0).toString(), compteA)
                                         .arg(rang));
    };
    QVERIFY2(deviner(*serveur, 1), qPrintable(serveur->journal()));
    QVERIFY2(deviner(autre, 2), qPrintable(autre.journal()));
    // The owner, from elsewhere, is let in at once all the same.
    ClientProtocole session;
    QVERIFY(session.connecter(autre.port));
    QCOMPARE(session.demander(identifiants(compteA, cleA)), QStringLiteral("m:0"));

    QVERIFY(serveur->arreter());
    QVERIFY(serveur->demarrer());
    QVERIFY2(deviner(*serveur, 3), qPrintable(serveur->journal()));
    QVERIFY(autre.arreter());
}

void TestServeur::devinettesSansCompteurs()
{
    ClientProtocole proprietaire;
    QVERIFY(identifier(proprietaire, compteA, cleA, QLatin1String("n:") + compteA));
    // The counters can be neither read nor written, the accounts still can.
    QVERIFY(base->executer({QStringLiteral("DROP TABLE key_failures")}));

    // A wrong key not counted for the other servers waits for the longest delay.
    ClientProtocole intrus;
    QVERIFY(connecterAilleurs(intrus, 0));
    intrus.envoyer(identifiants(compteA, cleB));
    QVERIFY(serveur->journalContient(QStringLiteral("refused wrong-key from %1 account %2").arg(adresseBouclage(0).toString(), compteA)));
    QVERIFY(serveur->journalContient(QStringLiteral("wrong keys cannot be counted in the database")));
    QVERIFY2(intrus.reponse(0, 3000).isNull(), qPrintable(intrus.reponses.value(0)));
    // The owner is let in at once all the same, from elsewhere.
    ClientProtocole session;
    QVERIFY(session.connecter(serveur->port));
    QCOMPARE(session.demander(identifiants(compteA, cleA)), QStringLiteral("m:0"));
    QCOMPARE(serveur->journal().count(QStringLiteral("wrong keys cannot be counted")), 1);
}

// Counted before the account is made: creations sent together cannot all pass.
void TestServeur::creationsLimitees()
{
    QVERIFY(serveur->arreter());
    QVERIFY(serveur->demarrer({QStringLiteral("--idle-timeout"), QStringLiteral("1"),
                               QStringLiteral("--new-accounts-per-minute"), QStringLiteral("3")}));
    Foule ensemble;
    for (int i = 0; i < 8; ++i) {
        ensemble.push_back(std::make_unique<ClientProtocole>());
        QVERIFY(ensemble.back()->connecter(serveur->port));
        ensemble.back()->envoyer(identifiants(compteNumero(i), cleA));
    }
    QVERIFY(QTest::qWaitFor([&] { return nombreRepondus(ensemble) == int(ensemble.size()); }, 60000));
    int creees = 0;
    for (int i = 0; i < 8; ++i) {
        const QString reponse = ensemble[size_t(i)]->reponses.value(0);
        creees += reponse == QLatin1String("n:") + compteNumero(i) ? 1 : 0;
        QVERIFY2(reponse.startsWith(QLatin1String("n:")) || reponse.contains(QLatin1String("Too many accounts")),
                 qPrintable(reponse));
    }
    QCOMPARE(creees, 3);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM accounts")), 3);

    ClientProtocole deTrop;
    QVERIFY(deTrop.connecter(serveur->port));
    const QString reponse = deTrop.demander(identifiants(compteC, cleC));
    QVERIFY2(estAvis(reponse) && reponse.contains(QLatin1String("Too many accounts")), qPrintable(reponse));
    QVERIFY(deTrop.attendreFermeture());
    QVERIFY(serveur->journalContient(
        QStringLiteral("refused account-creations from 127.0.0.1 account %1").arg(compteC)));

    // Existing accounts still log in from there, and another address may create one.
    const auto cree = std::find_if(ensemble.cbegin(), ensemble.cend(), [](const auto &client) {
        return client->reponses.value(0).startsWith(QLatin1String("n:"));
    });
    ClientProtocole connu;
    QVERIFY(identifier(connu, (*cree)->reponses.value(0).mid(2), cleA, QStringLiteral("m:0")));
    ClientProtocole ailleurs;
    QVERIFY(connecterAilleurs(ailleurs, 0));
    QCOMPARE(ailleurs.demander(identifiants(compteC, cleC)), QLatin1String("n:") + compteC);
}

// Every server on the database counts the same creations, and a restart forgets none.
void TestServeur::creationsPartagees()
{
    const QStringList options{QStringLiteral("--idle-timeout"), QStringLiteral("1"),
                              QStringLiteral("--new-accounts-per-minute"), QStringLiteral("3")};
    QVERIFY(serveur->arreter());
    QVERIFY(serveur->demarrer(options));
    ProcessusServeur second(base->url);
    QVERIFY2(second.demarrer(options), qPrintable(second.journal()));
    ClientProtocole clients[4];
    QVERIFY(identifierClient(clients[0], serveur->port, compteNumero(0), cleA, QLatin1String("n:") + compteNumero(0)));
    QVERIFY(identifierClient(clients[1], second.port, compteNumero(1), cleA, QLatin1String("n:") + compteNumero(1)));
    QVERIFY(identifierClient(clients[2], serveur->port, compteNumero(2), cleA, QLatin1String("n:") + compteNumero(2)));
    QVERIFY(clients[3].connecter(second.port));
    QVERIFY(clients[3].demander(identifiants(compteC, cleC)).contains(QLatin1String("Too many accounts")));
    QVERIFY(second.journalContient(QStringLiteral("refused account-creations from 127.0.0.1 account %1").arg(compteC)));
    QVERIFY(second.arreter());

    QVERIFY(serveur->arreter());
    QVERIFY(serveur->demarrer(options));
    ClientProtocole apres;
    QVERIFY(apres.connecter(serveur->port));
    QVERIFY(apres.demander(identifiants(compteC, cleC)).contains(QLatin1String("Too many accounts")));
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM accounts")), 3);
}

void TestServeur::identificationPendantCreations()
{
    ClientProtocole proprietaire;
    QVERIFY(identifier(proprietaire, compteA, cleA, QLatin1String("n:") + compteA));

    // 300 new accounts at once, from as many addresses; a known account logs in meanwhile.
    const int nombre = 300;
    Foule foule;
    for (int i = 0; i < nombre; ++i) {
        foule.push_back(std::make_unique<ClientProtocole>());
        QVERIFY(connecterAilleurs(*foule.back(), i));
        foule.back()->envoyer(identifiants(compteNumero(i), cleC));
    }
    ClientProtocole connu;
    QVERIFY(connu.connecter(serveur->port));
    QCOMPARE(connu.demander(identifiants(compteA, cleA), 5000), QStringLiteral("m:0"));
    const auto crees = [&] {
        return int(std::count_if(foule.cbegin(), foule.cend(), [](const auto &client) {
            return client->reponses.value(0).startsWith(QLatin1String("n:"));
        }));
    };
    const int creesAvant = crees();
    QVERIFY2(creesAvant < nombre / 2,
             qPrintable(QStringLiteral("%1 accounts created before a known login").arg(creesAvant)));

    // Beyond the derivations the server holds at once, a creation is refused
    // unchecked, told to try again, never queued.
    for (int i = 0; i < nombre; ++i) {
        const QString reponse = foule[size_t(i)]->reponse(0, 120000);
        QVERIFY2(reponse == QLatin1String("n:") + compteNumero(i) || reponse == occupe, qPrintable(reponse));
    }
    QVERIFY(crees() > 0);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM accounts")), crees() + 1);
}

void TestServeur::virementPendantIdentifications()
{
    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QCOMPARE(admin({QStringLiteral("credit"), compteA, QStringLiteral("100")}).code, 0);

    // Twenty new accounts at once (from as many addresses), each a key
    // derivation for the server; the first five leave without waiting for their answer.
    const int nombre = 20;
    const int partis = 5;
    std::vector<std::unique_ptr<ClientProtocole>> foule;
    QStringList comptes;
    for (int i = 0; i < nombre; ++i) {
        comptes << compteNumero(i);
        foule.push_back(std::make_unique<ClientProtocole>());
        QVERIFY(connecterAilleurs(*foule.back(), i));
        foule.back()->envoyer(identifiants(comptes.last(), cleC));
    }
    for (int i = 0; i < partis; ++i)
        foule[size_t(i)]->socket.abort();

    // Meanwhile an authenticated client is served, before the last of them.
    QCOMPARE(a.demander(QStringLiteral("v:%1:%2:10:%3").arg(compteA, compteB, cleA)),
             QLatin1String("s:") + compteB + QLatin1String(":10"));
    int identifies = 0;
    for (const auto &client : foule)
        identifies += client->reponses.size();
    QVERIFY2(identifies < nombre - partis, "a transfer waits for no key derivation");

    for (int i = partis; i < nombre; ++i) {
        const QString reponse = foule[size_t(i)]->reponse(0, 60000);
        QVERIFY2(reponse == QLatin1String("n:") + comptes[i] || reponse == occupe, qPrintable(reponse));
    }
    QCOMPARE(solde(compteB), 10);
    QCOMPARE(b.reponse(1), QLatin1String("r:10:") + compteA);
}

void TestServeur::requetesDansLOrdre()
{
    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QCOMPARE(admin({QStringLiteral("credit"), compteA, QStringLiteral("300")}).code, 0);

    // Credentials and transfers in one write, far more than the server reads
    // at once: the transfers wait for the answer to the credentials, and each
    // for the one before.
    ClientProtocole presse;
    QVERIFY(presse.connecter(serveur->port));
    const auto trame = [](const QString &requete) {
        return construireTrame(brouiller(requete + QLatin1String(":vers101")));
    };
    const auto virement = [&](const char *montant) {
        return trame(QStringLiteral("v:%1:%2:%3:%4").arg(compteA, compteB, QLatin1String(montant), cleA));
    };
    const int rafale = 150;
    QByteArray octets = trame(identifiants(compteA, cleA)) + virement("60") + virement("0") + virement("40");
    for (int i = 0; i < rafale; ++i)
        octets += virement("1");
    QVERIFY(octets.size() > 4 * 4098);
    presse.envoyerOctets(octets);

    QCOMPARE(presse.reponse(0), QStringLiteral("m:300"));
    QCOMPARE(presse.reponse(1), QLatin1String("s:") + compteB + QLatin1String(":60"));
    QVERIFY2(estAvis(presse.reponse(2)), qPrintable(presse.reponse(2)));
    QCOMPARE(presse.reponse(3), QLatin1String("s:") + compteB + QLatin1String(":40"));
    QCOMPARE(presse.reponse(3 + rafale, 60000), QLatin1String("s:") + compteB + QLatin1String(":1"));
    QCOMPARE(presse.reponses.count(QLatin1String("s:") + compteB + QLatin1String(":1")), rafale);
    QCOMPARE(solde(compteA), 300 - 100 - rafale);
    QCOMPARE(solde(compteB), 100 + rafale);
}

void TestServeur::identifiantsMalformes_data()
{
    QTest::addColumn<QString>("requete");
    QTest::newRow("account too short") << QStringLiteral("c:0123456789A:") + cleA;
    QTest::newRow("account in lower case") << QStringLiteral("c:0123456789ab:") + cleA;
    QTest::newRow("key too short") << QStringLiteral("c:%1:123456789").arg(compteA);
    QTest::newRow("key not digits") << QStringLiteral("c:%1:1111122222333334444X").arg(compteA);
    QTest::newRow("key missing") << QStringLiteral("c:") + compteA;
    QTest::newRow("extra field") << identifiants(compteA, cleA) + QStringLiteral(":x");
}

void TestServeur::identifiantsMalformes()
{
    QFETCH(QString, requete);
    ClientProtocole client;
    QVERIFY(client.connecter(serveur->port));
    QCOMPARE(client.demander(requete), QStringLiteral("a:"));
    QVERIFY(client.attendreFermeture());
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM accounts")), 0);
}

void TestServeur::requetesRejetees_data()
{
    QTest::addColumn<QString>("texte");
    QTest::newRow("no version tag") << identifiants(compteA, cleA);
    QTest::newRow("other version") << identifiants(compteA, cleA) + QStringLiteral(":vers100");
    QTest::newRow("unknown kind") << QStringLiteral("x:%1:%2:vers101").arg(compteA, cleA);
    QTest::newRow("empty") << QString();
}

void TestServeur::requetesRejetees()
{
    QFETCH(QString, texte);
    ClientProtocole client;
    QVERIFY(client.connecter(serveur->port));
    client.envoyerTexte(texte);
    QVERIFY2(estAvis(client.reponse()), qPrintable(client.reponse()));
    QVERIFY(client.attendreFermeture());
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM accounts")), 0);
}

void TestServeur::virement()
{
    ClientProtocole a, b, autreB;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(identifier(autreB, compteB, cleB, QStringLiteral("m:0")));
    QCOMPARE(admin({QStringLiteral("credit"), compteA, QStringLiteral("100")}).code, 0);

    QCOMPARE(a.demander(QStringLiteral("v:%1:%2:30:%3").arg(compteA, compteB, cleA)),
             QLatin1String("s:") + compteB + QLatin1String(":30"));
    // Every open connection of the recipient hears of it.
    QCOMPARE(b.reponse(1), QLatin1String("r:30:") + compteA);
    QCOMPARE(autreB.reponse(1), QLatin1String("r:30:") + compteA);

    QCOMPARE(solde(compteA), 70);
    QCOMPARE(solde(compteB), 30);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 1);
    ClientProtocole plusTard;
    QVERIFY(identifier(plusTard, compteB, cleB, QStringLiteral("m:30")));
}

void TestServeur::virementRefuse_data()
{
    QTest::addColumn<QString>("requete");
    QTest::addColumn<QString>("attendu");
    const QString i = QStringLiteral("i:");
    const QString v = QStringLiteral("v:%1:%2:%3:%4");
    QTest::newRow("recipient not connected") << v.arg(compteA, compteC, QStringLiteral("10"), cleA)
                                             << QLatin1String("e:") + compteC;
    QTest::newRow("balance insufficient") << v.arg(compteA, compteB, QStringLiteral("51"), cleA) << i;
    QTest::newRow("amount 0") << v.arg(compteA, compteB, QStringLiteral("0"), cleA) << i;
    QTest::newRow("amount not a number") << v.arg(compteA, compteB, QStringLiteral("ten"), cleA) << i;
    QTest::newRow("amount too big") << v.arg(compteA, compteB, QStringLiteral("1000000000"), cleA) << i;
    QTest::newRow("unknown recipient") << v.arg(compteA, QStringLiteral("DDDDDDDDDDDD"), QStringLiteral("10"), cleA) << i;
    QTest::newRow("to oneself") << v.arg(compteA, compteA, QStringLiteral("10"), cleA) << i;
    QTest::newRow("another account as sender") << v.arg(compteB, compteA, QStringLiteral("10"), cleB) << i;
    QTest::newRow("another key") << v.arg(compteA, compteB, QStringLiteral("10"), cleB) << i;
    QTest::newRow("field missing") << QStringLiteral("v:%1:%2:10").arg(compteA, compteB) << i;
}

void TestServeur::virementRefuse()
{
    QFETCH(QString, requete);
    QFETCH(QString, attendu);
    ClientProtocole a, b, c;
    QVERIFY(identifier(c, compteC, cleC, QLatin1String("n:") + compteC));
    c.socket.disconnectFromHost();
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(c.attendreFermeture());
    QVERIFY(serveur->journalContient(QStringLiteral("#1 closed")));
    QCOMPARE(admin({QStringLiteral("credit"), compteA, QStringLiteral("50")}).code, 0);

    const QString reponse = a.demander(requete);
    if (attendu == QLatin1String("i:"))
        QVERIFY2(estAvis(reponse), qPrintable(reponse));
    else
        QCOMPARE(reponse, attendu);

    // Nothing moved, and the connection still serves.
    QCOMPARE(solde(compteA), 50);
    QCOMPARE(solde(compteB), 0);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 0);
    QCOMPARE(b.reponses.size(), 1);
    QCOMPARE(a.demander(QStringLiteral("v:%1:%2:50:%3").arg(compteA, compteB, cleA)),
             QLatin1String("s:") + compteB + QLatin1String(":50"));
}

void TestServeur::virementAvantIdentification()
{
    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QCOMPARE(admin({QStringLiteral("credit"), compteA, QStringLiteral("50")}).code, 0);

    ClientProtocole anonyme;
    QVERIFY(anonyme.connecter(serveur->port));
    const QString reponse = anonyme.demander(QStringLiteral("v:%1:%2:10:%3").arg(compteA, compteB, cleA));
    QVERIFY2(estAvis(reponse), qPrintable(reponse));
    QCOMPARE(solde(compteA), 50);
    QCOMPARE(b.reponses.size(), 1);
}

void TestServeur::plafond()
{
    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QCOMPARE(admin({QStringLiteral("credit"), compteB, QStringLiteral("2147483647")}).code, 0);
    const ResultatCommande deTrop = admin({QStringLiteral("credit"), compteB, QStringLiteral("1")});
    QVERIFY(deTrop.code != 0);
    QCOMPARE(deTrop.erreurs.trimmed().count(QLatin1Char('\n')), 0);
    QVERIFY(deTrop.erreurs.contains(QLatin1String("2147483647")));

    QCOMPARE(admin({QStringLiteral("credit"), compteA, QStringLiteral("10")}).code, 0);
    const QString reponse = a.demander(QStringLiteral("v:%1:%2:5:%3").arg(compteA, compteB, cleA));
    QVERIFY2(estAvis(reponse), qPrintable(reponse));
    QCOMPARE(solde(compteA), 10);
    QCOMPARE(solde(compteB), 2147483647);
    QCOMPARE(base->nombre(QStringLiteral("SELECT SUM(amount) FROM credits")), 2147483657);
}

void TestServeur::tramesMalformees_data()
{
    // motif: what the last notice says; empty where the server drops unread
    // bytes, since the notice may then be lost in the connection's reset.
    QTest::addColumn<QByteArray>("octets");
    QTest::addColumn<QString>("motif");
    const QString version = QStringLiteral("version 101");
    QTest::newRow("garbage") << QByteArray("\xff\xfe garbage that is no frame at all", 34) << QString();
    QTest::newRow("body not a string") << QByteArray("\x00\x03\x01\x02\x03", 5) << version;
    QTest::newRow("null string") << QByteArray("\x00\x04\xff\xff\xff\xff", 6) << version;
    QTest::newRow("empty frame") << QByteArray("\x00\x00", 2) << version;
    QTest::newRow("text that does not unscramble") << construireTrame(QStringLiteral("ZZZZ\x01\x02 nothing")) << version;
    QTest::newRow("oversized frame announced") << QByteArray("\x13\x88\x00\x00", 4) << QStringLiteral("too long");
    // The largest body is read, and answered on what it says; one byte more is not.
    QByteArray corpsMax;
    QDataStream flot(&corpsMax, QIODevice::WriteOnly);
    flot << QString((tailleMaxCorps - 4) / 2, QLatin1Char('v'));
    QTest::newRow("largest body") << trameBrute(corpsMax) << version;
    QTest::newRow("one byte over the largest body")
        << QByteArray(1, char((tailleMaxCorps + 1) >> 8)) + char((tailleMaxCorps + 1) & 0xFF) + corpsMax.left(2)
        << QStringLiteral("too long");
    QTest::newRow("oversized frame sent")
        << construireTrame(brouiller(QString(1100, QLatin1Char('v')) + QLatin1String(":vers101"))) << QString();
    QTest::newRow("frame left unfinished") << QByteArray("\x00\x64\x00\x00\x00\x60\x00\x41", 8)
                                           << QStringLiteral("in time");
}

void TestServeur::tramesMalformees()
{
    QFETCH(QByteArray, octets);
    QFETCH(QString, motif);
    ClientProtocole temoin, fautif;
    QVERIFY(identifier(temoin, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(identifier(fautif, compteA, cleA, QLatin1String("n:") + compteA));

    fautif.envoyerOctets(octets);
    QVERIFY(fautif.attendreFermeture());
    QVERIFY(fautif.reponses.size() <= 2);
    if (fautif.reponses.size() == 2)
        QVERIFY2(estAvis(fautif.reponses[1]), qPrintable(fautif.reponses[1]));
    if (!motif.isEmpty())
        QVERIFY2(fautif.reponses.value(1).contains(motif), qPrintable(fautif.reponses.value(1)));

    // Everybody else is served as before.
    QVERIFY(temoin.estConnecte());
    QVERIFY(estAvis(temoin.demander(QStringLiteral("v:%1:%2:0:%3").arg(compteB, compteA, cleB))));
    ClientProtocole nouveau;
    QVERIFY(identifier(nouveau, compteC, cleC, QLatin1String("n:") + compteC));
}

void TestServeur::inactivite()
{
    ClientProtocole identifie, silencieux;
    QVERIFY(identifier(identifie, compteA, cleA, QLatin1String("n:") + compteA));
    QElapsedTimer duree;
    duree.start();
    QVERIFY(silencieux.connecter(serveur->port));
    QVERIFY2(estAvis(silencieux.reponse()), qPrintable(silencieux.reponse()));
    QVERIFY(silencieux.attendreFermeture());
    QVERIFY(duree.elapsed() >= 900);

    // The time-out is for credentials only: an authenticated client may stay silent.
    QVERIFY(identifie.estConnecte());
    QVERIFY(estAvis(identifie.demander(QStringLiteral("v:%1:%2:0:%3").arg(compteA, compteB, cleA))));
}

void TestServeur::administration()
{
    ClientProtocole a;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));

    const ResultatCommande credit = admin({QStringLiteral("credit"), compteA, QStringLiteral("25")});
    QCOMPARE(credit.code, 0);
    QVERIFY2(credit.sortie.contains(QLatin1String("25")), qPrintable(credit.sortie));
    QCOMPARE(admin({QStringLiteral("credit"), compteA.toLower(), QStringLiteral("5")}).code, 0);

    const ResultatCommande liste = admin({QStringLiteral("accounts")});
    QCOMPARE(liste.code, 0);
    const QStringList lignes = liste.sortie.trimmed().split(QLatin1Char('\n'));
    QCOMPARE(lignes.size(), 2);
    QCOMPARE(lignes[1].simplified(), compteA + QLatin1String(" 30"));

    const QStringList refus[] = {
        {QStringLiteral("credit"), compteB, QStringLiteral("5")},  // no such account
        {QStringLiteral("credit"), compteA, QStringLiteral("0")},
        {QStringLiteral("credit"), compteA, QStringLiteral("-5")},
        {QStringLiteral("credit"), compteA, QStringLiteral("abc")},
        {QStringLiteral("credit"), compteA, QStringLiteral("2147483648")},
        {QStringLiteral("credit"), QStringLiteral("XYZ"), QStringLiteral("5")},
        {QStringLiteral("credit"), compteA},
    };
    for (const QStringList &arguments : refus) {
        const ResultatCommande resultat = admin(arguments);
        QVERIFY2(resultat.code > 0, qPrintable(arguments.join(QLatin1Char(' '))));
        QVERIFY2(resultat.erreurs.startsWith(QLatin1String("qovi-server: ")), qPrintable(resultat.erreurs));
        QCOMPARE(resultat.erreurs.trimmed().count(QLatin1Char('\n')), 0);
    }
    QCOMPARE(solde(compteA), 30);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM credits")), 2);
}

QTEST_GUILESS_MAIN(TestServeur)
#include "tst_serveur.moc"
