// What the server has confirmed stays confirmed: balances survive a restart,
// a server killed in the middle of a burst of transfers loses no confirmed
// transfer, and two servers on one database never spend the same money twice.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include <QTest>

#include <memory>

namespace {

const QString compteD = QStringLiteral("D0D0D0D0D0D0");
const QString cleD = QStringLiteral("98765432109876543210");

int nombreDe(const QStringList &reponses, const QString &debut)
{
    int nombre = 0;
    for (const QString &reponse : reponses)
        nombre += reponse.startsWith(debut) ? 1 : 0;
    return nombre;
}

// A trap that lets every statement of a transfer pass and makes its COMMIT
// fail: each journal row adds a row that breaks a deferred foreign key.
QStringList piegeValidation(bool postgres)
{
    const QStringList tables{
        QStringLiteral("CREATE TABLE piege_parent (id BIGINT PRIMARY KEY)"),
        QStringLiteral("CREATE TABLE piege (parent BIGINT REFERENCES piege_parent (id) DEFERRABLE INITIALLY DEFERRED)"),
    };
    if (!postgres)
        return tables + QStringList{QStringLiteral("CREATE TRIGGER piege AFTER INSERT ON transfers"
                                                   " BEGIN INSERT INTO piege VALUES (NEW.id); END")};
    return tables + QStringList{
        QStringLiteral("CREATE FUNCTION piege() RETURNS trigger LANGUAGE plpgsql"
                       " AS $$ BEGIN INSERT INTO piege VALUES (NEW.id); RETURN NULL; END $$"),
        QStringLiteral("CREATE TRIGGER piege AFTER INSERT ON transfers FOR EACH ROW EXECUTE FUNCTION piege()"),
    };
}

} // namespace

class TestDurabilite : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data() { lignesBases(); }
    void init();
    void cleanup();

    void redemarrage();
    void arretBrutalPendantRafale();
    void deuxServeursSurUneBase();
    void virementsCroisesSurDeuxServeurs();
    void validationRefusee();
    void baseEnLectureSeule();

private:
    bool identifier(ClientProtocole &client, const QString &compte, const QString &cle, const QString &attendu);
    qint64 nombre(const QString &sql) { return base->nombre(sql); }

    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
};

void TestDurabilite::init()
{
    ouvrirBancServeur(base, serveur);
}

void TestDurabilite::cleanup()
{
    fermerBancServeur(base, serveur);
}

bool TestDurabilite::identifier(ClientProtocole &client, const QString &compte, const QString &cle,
                                const QString &attendu)
{
    return identifierClient(client, serveur->port, compte, cle, attendu);
}

void TestDurabilite::redemarrage()
{
    {
        ClientProtocole a, b;
        QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
        QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
        QVERIFY(crediter(*base, compteA, 100));
        QCOMPARE(a.demander(QStringLiteral("v:%1:%2:40:%3").arg(compteA, compteB, cleA)),
                 QLatin1String("s:") + compteB + QLatin1String(":40"));
        serveur->tuer();
        QVERIFY(a.attendreFermeture());
    }
    QVERIFY(serveur->demarrer());
    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QStringLiteral("m:60")));
    QVERIFY(identifier(b, compteB, cleB, QStringLiteral("m:40")));
}

void TestDurabilite::arretBrutalPendantRafale()
{
    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(*base, compteA, 1000));
    QVERIFY(crediter(*base, compteB, 1000));

    // Both send at once, in opposite directions, and the server dies midway.
    const int rafale = 400;
    for (int i = 0; i < rafale; ++i) {
        a.envoyer(QStringLiteral("v:%1:%2:1:%3").arg(compteA, compteB, cleA));
        b.envoyer(QStringLiteral("v:%1:%2:2:%3").arg(compteB, compteA, cleB));
    }
    QVERIFY(QTest::qWaitFor(
        [&] { return nombreDe(a.reponses, QStringLiteral("s:")) >= 10 && nombreDe(b.reponses, QStringLiteral("s:")) >= 10; },
        30000));
    serveur->tuer();
    QVERIFY(a.attendreFermeture());
    QVERIFY(b.attendreFermeture());

    // Every confirmation the clients got is in the journal...
    const int confirmesA = nombreDe(a.reponses, QStringLiteral("s:"));
    const int confirmesB = nombreDe(b.reponses, QStringLiteral("s:"));
    const qint64 deA = nombre(QStringLiteral("SELECT COUNT(*) FROM transfers WHERE sender = '%1'").arg(compteA));
    const qint64 deB = nombre(QStringLiteral("SELECT COUNT(*) FROM transfers WHERE sender = '%1'").arg(compteB));
    QVERIFY2(deA >= confirmesA && deB >= confirmesB,
             qPrintable(QStringLiteral("%1/%2 and %3/%4").arg(deA).arg(confirmesA).arg(deB).arg(confirmesB)));
    QVERIFY(deA <= rafale && deB <= rafale);
    QCOMPARE(nombreDe(a.reponses, QStringLiteral("i:")) + nombreDe(b.reponses, QStringLiteral("i:")), 0);

    // ...and the balances are exactly what the journals say.
    QCOMPARE(nombre(QStringLiteral("SELECT SUM(balance) FROM accounts")), 2000);
    QCOMPARE(nombre(QStringLiteral("SELECT SUM(amount) FROM credits")), 2000);
    const qint64 soldeA = 1000 - deA + 2 * deB;
    const qint64 soldeB = 1000 + deA - 2 * deB;
    QCOMPARE(nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteA)), soldeA);
    QCOMPARE(nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteB)), soldeB);

    QVERIFY(serveur->demarrer());
    ClientProtocole apres;
    QVERIFY(identifier(apres, compteA, cleA, QStringLiteral("m:%1").arg(soldeA)));
}

void TestDurabilite::deuxServeursSurUneBase()
{
    ProcessusServeur autre(base->url);
    QVERIFY(autre.demarrer());
    ClientProtocole a1, b1, a2, b2;
    QVERIFY(identifier(a1, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b1, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(a2.connecter(autre.port) && a2.demander(QStringLiteral("c:%1:%2").arg(compteA, cleA)) == QLatin1String("m:0"));
    QVERIFY(b2.connecter(autre.port) && b2.demander(QStringLiteral("c:%1:%2").arg(compteB, cleB)) == QLatin1String("m:0"));
    QVERIFY(crediter(*base, compteA, 100));

    // Twice as much as A has, asked from both servers at once.
    const int demandes = 100;
    for (int i = 0; i < demandes; ++i) {
        a1.envoyer(QStringLiteral("v:%1:%2:1:%3").arg(compteA, compteB, cleA));
        a2.envoyer(QStringLiteral("v:%1:%2:1:%3").arg(compteA, compteB, cleA));
    }
    QVERIFY(QTest::qWaitFor([&] { return a1.reponses.size() + a2.reponses.size() == 2 * demandes + 2; }, 120000));

    const int faits = nombreDe(a1.reponses, QStringLiteral("s:")) + nombreDe(a2.reponses, QStringLiteral("s:"));
    const int refuses = nombreDe(a1.reponses, QStringLiteral("i:")) + nombreDe(a2.reponses, QStringLiteral("i:"));
    QCOMPARE(faits, 100);
    QCOMPARE(refuses, demandes * 2 - 100);
    QCOMPARE(nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteA)), 0);
    QCOMPARE(nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteB)), 100);
    QCOMPARE(nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 100);
    // On PostgreSQL, every connection of B, on either server, hears of every
    // transfer once; on SQLite (one server per file) each server tells its own.
    const auto entendus = [&] {
        const int un = nombreDe(b1.reponses, QStringLiteral("r:"));
        const int deux = nombreDe(b2.reponses, QStringLiteral("r:"));
        return base->estPostgres() ? un == 100 && deux == 100 : un + deux == 100;
    };
    QVERIFY(QTest::qWaitFor(entendus, 30000));
    QVERIFY(autre.arreter());
}

void TestDurabilite::virementsCroisesSurDeuxServeurs()
{
    // Each server takes the transfers that arrive together in one
    // transaction: two servers taking the same accounts in opposite orders
    // must neither deadlock nor fail.
    ProcessusServeur autre(base->url);
    QVERIFY(autre.demarrer());
    const QString comptes[] = {compteA, compteB, compteC, compteD};
    const QString cles[] = {cleA, cleB, cleC, cleD};
    ClientProtocole ici[4], labas[4];
    for (int i = 0; i < 4; ++i) {
        const QString identifiants = QStringLiteral("c:%1:%2").arg(comptes[i], cles[i]);
        QVERIFY(ici[i].connecter(serveur->port));
        QVERIFY(ici[i].demander(identifiants).startsWith(QLatin1String("n:")));
        QVERIFY(labas[i].connecter(autre.port));
        QCOMPARE(labas[i].demander(identifiants), QStringLiteral("m:0"));
        QVERIFY(crediter(*base, comptes[i], 1000));
    }

    // Here A to B and C to D; there D to C and B to A.
    const int demandes = 100;
    const auto virement = [&](int de, int vers) {
        return QStringLiteral("v:%1:%2:1:%3").arg(comptes[de], comptes[vers], cles[de]);
    };
    for (int n = 0; n < demandes; ++n) {
        ici[0].envoyer(virement(0, 1));
        ici[2].envoyer(virement(2, 3));
        labas[3].envoyer(virement(3, 2));
        labas[1].envoyer(virement(1, 0));
    }
    ClientProtocole *emetteurs[] = {&ici[0], &ici[2], &labas[3], &labas[1]};
    for (ClientProtocole *emetteur : emetteurs) {
        // The money the others send them comes in between, as "r:".
        const auto repondus = [&] {
            return nombreDe(emetteur->reponses, QStringLiteral("s:")) + nombreDe(emetteur->reponses, QStringLiteral("i:"));
        };
        QVERIFY(QTest::qWaitFor([&] { return repondus() >= demandes; }, 120000));
        QCOMPARE(nombreDe(emetteur->reponses, QStringLiteral("s:")), demandes);
    }
    QCOMPARE(nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 4 * demandes);
    for (const QString &compte : comptes)
        QCOMPARE(nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compte)), 1000);
    QVERIFY(autre.arreter());
}

void TestDurabilite::validationRefusee()
{
    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(*base, compteA, 100));
    QVERIFY(base->executer(piegeValidation(base->estPostgres())));

    // Sent at once, they fail in one lot or in several: none is confirmed.
    const int demandes = 5;
    for (int i = 0; i < demandes; ++i)
        a.envoyer(QStringLiteral("v:%1:%2:1:%3").arg(compteA, compteB, cleA));
    QVERIFY(QTest::qWaitFor([&] { return a.reponses.size() == 1 + demandes; }, 30000));
    for (int i = 1; i <= demandes; ++i)
        QVERIFY2(a.reponses[i].startsWith(QLatin1String("i:")) && a.reponses[i].size() > 2, qPrintable(a.reponses[i]));
    QCOMPARE(nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 0);
    QCOMPARE(nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteA)), 100);
    QCOMPARE(nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteB)), 0);
    QVERIFY(serveur->journalContient(QStringLiteral("database cannot write")));

    // Once the database takes writes again, so does the server.
    const QString sansPiege = base->estPostgres() ? QStringLiteral("DROP TRIGGER piege ON transfers")
                                                  : QStringLiteral("DROP TRIGGER piege");
    QVERIFY(base->executer({sansPiege}));
    QCOMPARE(a.demander(QStringLiteral("v:%1:%2:7:%3").arg(compteA, compteB, cleA)),
             QLatin1String("s:") + compteB + QLatin1String(":7"));
    // B hears of this transfer only, none of the refused ones.
    QCOMPARE(b.reponse(1), QLatin1String("r:7:") + compteA);
    QCOMPARE(b.reponses.size(), 2);
    QVERIFY(serveur->journalContient(QStringLiteral("database works again")));
    QCOMPARE(serveur->journal().count(QStringLiteral("database cannot write")), 1);
    QCOMPARE(nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 1);
    QCOMPARE(base->sommeSoldes(), base->sommeCredits());
}

void TestDurabilite::baseEnLectureSeule()
{
    if (!base->estPostgres())
        QSKIP("SQLite's database that cannot write is the full disk of tst_disque");
    {
        ClientProtocole a, b;
        QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
        QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
        QVERIFY(crediter(*base, compteA, 100));
    }
    QVERIFY(serveur->arreter());
    const QString nomBase = QUrl(base->url).path().mid(1);
    const auto lectureSeule = [&](const char *oui) {
        // This session too starts read-only once the database is.
        return base->executer({QStringLiteral("SET default_transaction_read_only = off"),
                               QStringLiteral("ALTER DATABASE %1 SET default_transaction_read_only = %2")
                                   .arg(nomBase, QLatin1String(oui))});
    };
    QVERIFY(lectureSeule("on"));

    // It starts without writing anything, and serves what needs only reading.
    QVERIFY2(serveur->demarrer(), qPrintable(serveur->journal()));
    ClientProtocole a, b, nouveau;
    QVERIFY(identifier(a, compteA, cleA, QStringLiteral("m:100")));
    QVERIFY(identifier(b, compteB, cleB, QStringLiteral("m:0")));
    const QString refus = a.demander(QStringLiteral("v:%1:%2:10:%3").arg(compteA, compteB, cleA));
    QVERIFY2(refus.startsWith(QLatin1String("i:The server cannot record transfers")), qPrintable(refus));
    QVERIFY(nouveau.connecter(serveur->port));
    const QString refusCompte = nouveau.demander(identifiants(compteC, cleC));
    QVERIFY2(refusCompte.startsWith(QLatin1String("i:The server cannot open new accounts")), qPrintable(refusCompte));
    QCOMPARE(b.reponses.size(), 1);
    QCOMPARE(nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 0);
    QCOMPARE(nombre(QStringLiteral("SELECT COUNT(*) FROM accounts")), 2);
    QCOMPARE(serveur->journal().count(QStringLiteral("database cannot write")), 1);

    // A session keeps the setting it began with: the server's next one writes.
    QVERIFY(lectureSeule("off"));
    QVERIFY(serveur->arreter());
    QVERIFY(serveur->demarrer());
    ClientProtocole aApres, bApres;
    QVERIFY(identifier(aApres, compteA, cleA, QStringLiteral("m:100")));
    QVERIFY(identifier(bApres, compteB, cleB, QStringLiteral("m:0")));
    QCOMPARE(aApres.demander(QStringLiteral("v:%1:%2:10:%3").arg(compteA, compteB, cleA)),
             QLatin1String("s:") + compteB + QLatin1String(":10"));
    QCOMPARE(base->sommeSoldes(), base->sommeCredits());
}

QTEST_GUILESS_MAIN(TestDurabilite)
#include "tst_durabilite.moc"
