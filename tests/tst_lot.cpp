// Transfers that reach the server together are made in one lot: each keeps
// its own outcome (done, insufficient balance, recipient's ceiling, recipient
// gone), the refused ones change nothing, and the others go through. On
// SQLite and (when available) PostgreSQL, through the real server.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include "server/banque/adressebase.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <memory>
#include <vector>

namespace {

const QString cle = QStringLiteral("24680135792468013579");
const QString fait = QStringLiteral("s:");
const QString insuffisant = QStringLiteral("i:Your balance is insufficient for this transfer");
const QString plafond = QStringLiteral("i:The recipient's balance cannot hold this amount");
const QString inconnu = QStringLiteral("i:The recipient account does not exist");

struct Cas
{
    const char *nom;
    QString source;
    qint64 soldeSource;
    QString destinataire;
    qint64 soldeDestinataire;
    int montant;
    QString attendu;
};

// Senders 5A..., recipients 5B...; 5B0000000003 is removed from the database
// while its owner is still connected.
const std::vector<Cas> &tableCas()
{
    static const std::vector<Cas> cas = {
        {"done", "5A0000000001", 50, "5B0000000001", 0, 30, fait},
        {"the whole balance", "5A0000000002", 40, "5B0000000002", 0, 40, fait},
        {"insufficient", "5A0000000003", 10, "5B0000000001", 0, 11, insuffisant},
        {"over the recipient's ceiling", "5A0000000004", 50, "5B00000000FF", 2147483642, 6, plafond},
        {"up to the recipient's ceiling", "5A0000000005", 50, "5B00000000FE", 2147483642, 5, fait},
        {"recipient gone", "5A0000000006", 50, "5B0000000003", 0, 10, inconnu},
    };
    return cas;
}

// Some session of the database waits for a row lock (PostgreSQL).
bool attendUnVerrou(BaseDeTest &base)
{
    return base.nombre(QStringLiteral("SELECT COUNT(*) FROM pg_stat_activity WHERE datname = current_database() "
                                      "AND wait_event_type = 'Lock'"))
           > 0;
}

} // namespace

class TestLot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data() { lignesBases(); }
    // Every account of a case is created from 127.0.0.1.
    void init()
    {
        ouvrirBancServeur(base, serveur,
                          {QStringLiteral("--idle-timeout"), QStringLiteral("1"),
                           QStringLiteral("--new-accounts-per-minute"), QStringLiteral("100")});
    }
    void cleanup();

    void issuesMelees();
    void unCompteDeuxFoisDansUnLot();
    void verrousDansLOrdreDesComptes();

private:
    std::unique_ptr<ClientProtocole> connecter(const QString &compte);
    QString issue(ClientProtocole &client);
    qint64 solde(const QString &compte);

    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
};

void TestLot::cleanup()
{
    if (base && base->estPrete() && !QTest::currentTestFailed())
        QCOMPARE(base->sommeSoldes(), base->sommeCredits());
    fermerBancServeur(base, serveur);
}

std::unique_ptr<ClientProtocole> TestLot::connecter(const QString &compte)
{
    auto client = std::make_unique<ClientProtocole>();
    if (!client->connecter(serveur->port))
        return nullptr;
    const QString accueil = client->demander(identifiants(compte, cle));
    if (!accueil.startsWith(QLatin1String("n:")) && !accueil.startsWith(QLatin1String("m:"))) {
        qWarning() << "credentials of" << compte << "got" << accueil;
        return nullptr;
    }
    return client;
}

// The answer to the client's transfer, whatever else it was told before.
QString TestLot::issue(ClientProtocole &client)
{
    const auto trouvee = [&] {
        for (const QString &reponse : qAsConst(client.reponses)) {
            if (reponse.startsWith(QLatin1String("s:")) || reponse.startsWith(QLatin1String("i:")))
                return reponse;
        }
        return QString();
    };
    (void)QTest::qWaitFor([&] { return !trouvee().isEmpty(); }, 30000);
    return trouvee();
}

qint64 TestLot::solde(const QString &compte)
{
    return base->nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compte));
}

void TestLot::issuesMelees()
{
    const std::vector<Cas> &cas = tableCas();
    std::vector<std::unique_ptr<ClientProtocole>> sources, destinataires;
    QStringList comptesDestinataires;
    for (const Cas &c : cas) {
        sources.push_back(connecter(c.source));
        QVERIFY(sources.back());
        if (c.soldeSource > 0)
            QVERIFY(crediter(*base, c.source, c.soldeSource));
        if (comptesDestinataires.contains(c.destinataire))
            continue;
        comptesDestinataires << c.destinataire;
        destinataires.push_back(connecter(c.destinataire));
        QVERIFY(destinataires.back());
        if (c.soldeDestinataire > 0)
            QVERIFY(crediter(*base, c.destinataire, c.soldeDestinataire));
    }
    QVERIFY(base->executer({QStringLiteral("DELETE FROM accounts WHERE account = '5B0000000003'")}));

    // All sent before any answer is read: they come in one lot, or a few.
    for (size_t i = 0; i < cas.size(); ++i)
        sources[i]->envoyer(
            QStringLiteral("v:%1:%2:%3:%4").arg(cas[i].source, cas[i].destinataire).arg(cas[i].montant).arg(cle));
    for (size_t i = 0; i < cas.size(); ++i) {
        const Cas &c = cas[i];
        const QString attendu = c.attendu == fait ? fait + c.destinataire + QLatin1Char(':') + QString::number(c.montant)
                                                  : c.attendu;
        QCOMPARE(issue(*sources[i]), attendu);
        const qint64 verse = c.attendu == fait ? c.montant : 0;
        QVERIFY2(solde(c.source) == c.soldeSource - verse, c.nom);
    }
    QCOMPARE(solde(QStringLiteral("5B0000000001")), 30);
    QCOMPARE(solde(QStringLiteral("5B0000000002")), 40);
    QCOMPARE(solde(QStringLiteral("5B00000000FF")), 2147483642);
    QCOMPARE(solde(QStringLiteral("5B00000000FE")), 2147483647);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 3);
    // The recipients hear of what was done, and of nothing else.
    for (const Cas &c : cas) {
        ClientProtocole &recepteur = *destinataires[size_t(comptesDestinataires.indexOf(c.destinataire))];
        const QString recu = QStringLiteral("r:%1:%2").arg(c.montant).arg(c.source);
        if (c.attendu == fait)
            QVERIFY2(QTest::qWaitFor([&] { return recepteur.reponses.contains(recu); }, 30000), c.nom);
    }
    for (const Cas &c : cas) {
        ClientProtocole &recepteur = *destinataires[size_t(comptesDestinataires.indexOf(c.destinataire))];
        const QString recu = QStringLiteral("r:%1:%2").arg(c.montant).arg(c.source);
        QVERIFY2(recepteur.reponses.contains(recu) == (c.attendu == fait), c.nom);
    }
}

// Two connections of one account spend its whole balance at once: the
// transfers are made one after the other, so exactly one goes through.
// On PostgreSQL both are made certain to share one lot: they are sent while
// the lot before them waits for a row that this test holds, and so arrive
// together once it is let go.
void TestLot::unCompteDeuxFoisDansUnLot()
{
    const QString payeur = QStringLiteral("5A00000000AA");
    const QString receveur = QStringLiteral("5B00000000AA");
    const QString bouchon = QStringLiteral("5A00000000BB");
    auto premier = connecter(payeur);
    auto second = connecter(payeur);
    auto recepteur = connecter(receveur);
    auto avant = connecter(bouchon);
    QVERIFY(premier && second && recepteur && avant);
    QVERIFY(crediter(*base, payeur, 25));
    QVERIFY(crediter(*base, bouchon, 1));

    const QString nomVerrou = QStringLiteral("verrou-lot");
    {
        QSqlDatabase verrou;
        if (base->estPostgres()) {
            QString erreur;
            verrou = connexionBase(base->url, nomVerrou, &erreur);
            QVERIFY2(verrou.open(), qPrintable(verrou.lastError().text() + erreur));
            QVERIFY(verrou.transaction());
            QSqlQuery tenir(verrou);
            QVERIFY2(tenir.exec(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1' FOR UPDATE").arg(receveur)),
                     qPrintable(tenir.lastError().text()));
            avant->envoyer(QStringLiteral("v:%1:%2:1:%3").arg(bouchon, receveur, cle));
            // The server's lot waits for the row.
            QVERIFY(QTest::qWaitFor([&] { return attendUnVerrou(*base); }, 30000));
        }
        const QString virement = QStringLiteral("v:%1:%2:25:%3").arg(payeur, receveur, cle);
        premier->envoyer(virement);
        second->envoyer(virement);
        QVERIFY(premier->socket.bytesToWrite() == 0 && second->socket.bytesToWrite() == 0);
        if (verrou.isOpen())
            QVERIFY(verrou.rollback());
    }
    QSqlDatabase::removeDatabase(nomVerrou);
    if (base->estPostgres())
        QCOMPARE(issue(*avant), fait + receveur + QLatin1String(":1"));
    const QStringList reponses{issue(*premier), issue(*second)};
    QCOMPARE(reponses.count(fait + receveur + QLatin1String(":25")), 1);
    QCOMPARE(reponses.count(insuffisant), 1);
    QCOMPARE(solde(payeur), 0);
    QCOMPARE(solde(receveur), base->estPostgres() ? 26 : 25);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM transfers WHERE sender = '%1'").arg(payeur)), 1);
}

// On PostgreSQL a lot locks its accounts in their order, whatever order the
// table's rows lie in, so that two servers' opposite lots cannot deadlock.
// The rows lie here the other way round (the higher account written first);
// while this test holds the lower one, the lot waits for it without having
// taken the higher one.
void TestLot::verrousDansLOrdreDesComptes()
{
    if (!base->estPostgres())
        QSKIP("SQLite locks the whole database for each lot");
    const QString haut = QStringLiteral("5F00000000F1");
    const QString bas = QStringLiteral("5C00000000C1");
    auto payeur = connecter(haut);
    QVERIFY(payeur);
    QVERIFY(crediter(*base, haut, 10));
    auto receveur = connecter(bas);
    QVERIFY(receveur);

    const QString nomVerrou = QStringLiteral("verrou-ordre");
    const QString nomEssai = QStringLiteral("essai-ordre");
    bool libre = false;
    {
        QString erreur;
        QSqlDatabase verrou = connexionBase(base->url, nomVerrou, &erreur);
        QSqlDatabase essai = connexionBase(base->url, nomEssai, &erreur);
        QVERIFY2(verrou.open() && essai.open(), qPrintable(erreur));
        QVERIFY(verrou.transaction());
        QSqlQuery tenir(verrou);
        QVERIFY(tenir.exec(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1' FOR UPDATE").arg(bas)));
        payeur->envoyer(QStringLiteral("v:%1:%2:4:%3").arg(haut, bas, cle));
        QVERIFY(QTest::qWaitFor([&] { return attendUnVerrou(*base); }, 30000));
        QVERIFY(essai.transaction());
        libre = QSqlQuery(essai).exec(
            QStringLiteral("SELECT balance FROM accounts WHERE account = '%1' FOR UPDATE NOWAIT").arg(haut));
        QVERIFY(essai.rollback());
        QVERIFY(verrou.rollback());
    }
    QSqlDatabase::removeDatabase(nomVerrou);
    QSqlDatabase::removeDatabase(nomEssai);
    QVERIFY2(libre, "the lot took the higher account before the lower one");
    QCOMPARE(issue(*payeur), fait + bas + QLatin1String(":4"));
    QCOMPARE(solde(bas), 4);
}

QTEST_GUILESS_MAIN(TestLot)
#include "tst_lot.moc"
