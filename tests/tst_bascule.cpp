// A server given several PostgreSQL hosts in one URL works on the writable
// one, and after losing its primary goes on with the standby that took over:
// with a synchronous standby under Patroni, no transfer it confirmed is lost.

#include "clientprotocole.h"
#include "patroniprive.h"
#include "postgresprive.h"
#include "serveurdetest.h"

#include "server/banque/adressebase.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTest>

namespace {

// The first column of each row, read beside the server.
QVariantList lireColonne(const QString &url, const QString &sql)
{
    QVariantList valeurs;
    const QString nom = QStringLiteral("lecture-bascule");
    {
        QString erreur;
        QSqlDatabase base = connexionBase(url, nom, &erreur);
        QSqlQuery requete(base);
        if (base.open() && requete.exec(sql)) {
            while (requete.next())
                valeurs.append(requete.value(0));
        } else {
            qWarning() << base.lastError().text() << requete.lastError().text() << erreur;
            valeurs.append(QStringLiteral("error"));
        }
    }
    QSqlDatabase::removeDatabase(nom);
    return valeurs;
}

// The server's log without its line per connection and per transfer: what a failure needs to show.
QString evenementsRares(const QString &journal)
{
    QStringList rares;
    const auto lignes = journal.split(QLatin1Char('\n'));
    for (const QString &ligne : lignes) {
        if (!ligne.contains(QLatin1String(" transfer from ")) && !ligne.contains(QLatin1String(" connection from ")))
            rares.append(ligne);
    }
    return rares.join(QLatin1Char('\n')).right(3000);
}

const QString incertain = QStringLiteral("i:The server lost its database while recording this transfer");

// Sends transfers of 1, 2, 3... to one recipient, the next as soon as the last
// is answered, so that each amount names its transfer; notes when each reply came.
class Expediteur : public QObject
{
public:
    Expediteur(const QString &compte, const QString &cle, const QElapsedTimer &horloge)
        : compte(compte)
        , cle(cle)
        , horloge(horloge)
    {
        connect(&client.socket, &QTcpSocket::readyRead, this, [this] { avancer(); });
    }

    void commencer(const QString &destinataire)
    {
        vers = destinataire;
        actif = true;
        avancer();
    }

    void arreter() { actif = false; }

    bool toutRecu() const { return client.reponses.size() - premiereReponse == envoyes; }

    // The amounts confirmed, and those answered as uncertain.
    QSet<qint64> montants(const QString &debut) const
    {
        QSet<qint64> trouves;
        for (int i = 0; i < envoyes && premiereReponse + i < client.reponses.size(); ++i) {
            if (client.reponses.at(premiereReponse + i).startsWith(debut))
                trouves.insert(i + 1);
        }
        return trouves;
    }

    // When the first "s:" after instant came, in ms on the test's clock; -1 if none.
    qint64 premierSApres(qint64 instant) const
    {
        for (int i = 0; i < temps.size(); ++i) {
            if (temps.at(i) > instant && client.reponses.value(premiereReponse + i).startsWith(QLatin1String("s:")))
                return temps.at(i);
        }
        return -1;
    }

    ClientProtocole client;
    QString compte;
    QString cle;
    int premiereReponse = 0;

private:
    void avancer()
    {
        while (temps.size() < client.reponses.size() - premiereReponse)
            temps.append(horloge.elapsed());
        if (actif && toutRecu()) {
            ++envoyes;
            client.envoyer(QStringLiteral("v:%1:%2:%3:%4").arg(compte, vers).arg(envoyes).arg(cle));
        }
    }

    const QElapsedTimer &horloge;
    QString vers;
    bool actif = false;
    int envoyes = 0;
    QList<qint64> temps;
};

} // namespace

class TestBascule : public QObject
{
    Q_OBJECT

private slots:
    void premierHoteEcarte_data();
    void premierHoteEcarte();
    void standbyPrendLeRelais_data();
    void standbyPrendLeRelais();
};

// The first host down or read-only: the server works on the second.
void TestBascule::premierHoteEcarte_data()
{
    QTest::addColumn<bool>("lectureSeule");
    QTest::newRow("first host stopped") << false;
    QTest::newRow("first host read-only") << true;
}

void TestBascule::premierHoteEcarte()
{
    QFETCH(bool, lectureSeule);
    PostgresPrive premier, second;
    const QString motDePasse = QString::number(QRandomGenerator::global()->generate64(), 36);
    premier.choisirMotDePasse(motDePasse);
    second.choisirMotDePasse(motDePasse);
    if (lectureSeule)
        premier.regler(QStringLiteral("default_transaction_read_only=on"));
    QString manque = premier.preparer();
    if (manque.isEmpty())
        manque = second.preparer();
    if (!manque.isEmpty())
        QSKIP(qPrintable(manque));
    if (!lectureSeule)
        QVERIFY2(premier.arreter(), qPrintable(premier.sortie));
    const QString url = QStringLiteral("postgresql://postgres:%1@127.0.0.1:%2,127.0.0.1:%3/postgres"
                                       "?target_session_attrs=read-write")
                            .arg(motDePasse)
                            .arg(premier.numeroPort())
                            .arg(second.numeroPort());

    ProcessusServeur serveur(url);
    QVERIFY2(serveur.demarrer(), qPrintable(serveur.journal()));
    ClientProtocole a, b;
    QVERIFY(identifierClient(a, serveur.port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(b, serveur.port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediterSur(url, compteA, 100));
    QCOMPARE(a.demander(QStringLiteral("v:%1:%2:7:%3").arg(compteA, compteB, cleA)),
             QLatin1String("s:") + compteB + QLatin1String(":7"));
    QVERIFY(b.attendreCredit(QLatin1String("r:7:") + compteA) || b.reponses.contains(QLatin1String("r:7:") + compteA));

    QCOMPARE(lireColonne(second.url(), QStringLiteral("SELECT balance FROM accounts ORDER BY account")),
             (QVariantList{qint64(7), qint64(93)}));
    if (lectureSeule)
        QCOMPARE(lireColonne(premier.url(), QStringLiteral("SELECT to_regclass('accounts') IS NULL")),
                 QVariantList{true});
    QVERIFY2(!serveur.journal().contains(motDePasse), qPrintable(serveur.journal()));
    QVERIFY(serveur.arreter());
}

// The primary lost under load: Patroni promotes the standby, the server finds
// it within seconds, and every confirmed transfer is there. With the primary's
// whole machine lost, its Patroni too, only the third Raft member gives the
// standby's Patroni the majority it needs to take the leader's lock.
void TestBascule::standbyPrendLeRelais_data()
{
    QTest::addColumn<bool>("machineEntiere");
    QTest::newRow("primary's postmaster killed") << false;
    QTest::newRow("primary's whole node lost") << true;
}

void TestBascule::standbyPrendLeRelais()
{
    QFETCH(bool, machineEntiere);
    PatroniPrive patroni;
    const QString manque = patroni.preparer();
    if (!manque.isEmpty())
        QSKIP(qPrintable(manque));
    ProcessusServeur serveur(patroni.url());
    QVERIFY2(serveur.demarrer(), qPrintable(serveur.journal()));

    QElapsedTimer horloge;
    horloge.start();
    Expediteur a(compteA, cleA, horloge), c(compteC, cleC, horloge);
    ClientProtocole b;
    QVERIFY(identifierClient(b, serveur.port, compteB, cleB, QLatin1String("n:") + compteB));
    for (Expediteur *expediteur : {&a, &c}) {
        QVERIFY(identifierClient(expediteur->client, serveur.port, expediteur->compte, expediteur->cle,
                                 QLatin1String("n:") + expediteur->compte));
        expediteur->premiereReponse = expediteur->client.reponses.size();
        QVERIFY(crediterSur(patroni.url(), expediteur->compte, 10000000));
    }
    a.commencer(compteB);
    c.commencer(compteB);
    QVERIFY(QTest::qWaitFor([&] { return a.montants(QStringLiteral("s:")).size() >= 50; }, 30000));

    const int ancien = patroni.chef();
    QVERIFY(ancien >= 0);
    if (machineEntiere) {
        QVERIFY(patroni.perdreMachine(ancien));
    } else {
        const qint64 pid = patroni.pidPostmaster(ancien);
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
    }
    const qint64 perte = horloge.elapsed();
    QVERIFY2(QTest::qWaitFor([&] { const int chef = patroni.chef(); return chef >= 0 && chef != ancien; }, 60000),
             qPrintable(patroni.journaux()));
    const qint64 promotion = horloge.elapsed();
    if (!QTest::qWaitFor([&] { return a.premierSApres(promotion) >= 0 && c.premierSApres(promotion) >= 0; }, 30000)) {
        qWarning().noquote() << evenementsRares(serveur.journal()) << a.client.reponses.mid(a.client.reponses.size() - 5)
                             << c.client.reponses.mid(c.client.reponses.size() - 5);
        QFAIL("no transfer confirmed within 30 s of the promotion");
    }
    const qint64 retour = qMax(a.premierSApres(promotion), c.premierSApres(promotion));
    qInfo("standby promoted %lld ms after the primary's loss; first transfers confirmed %lld ms after the promotion",
          promotion - perte, retour - promotion);
    QVERIFY2(retour - promotion < 15000, qPrintable(QString::number(retour - promotion)));
    a.arreter();
    c.arreter();
    QVERIFY(QTest::qWaitFor([&] { return a.toutRecu() && c.toutRecu(); }, 30000));

    // On the new primary: every confirmed transfer, no other than the uncertain
    // ones, and balances that the credits and transfers account for.
    const QString nouveau = patroni.urlDe(patroni.chef());
    for (Expediteur *expediteur : {&a, &c}) {
        const QSet<qint64> confirmes = expediteur->montants(QStringLiteral("s:"));
        const QSet<qint64> incertains = expediteur->montants(incertain);
        QSet<qint64> enBase;
        const QVariantList lus = lireColonne(
            nouveau, QStringLiteral("SELECT amount FROM transfers WHERE sender = '%1'").arg(expediteur->compte));
        for (const QVariant &montant : lus)
            enBase.insert(montant.toLongLong());
        QVERIFY2(enBase.contains(confirmes),
                 qPrintable(QStringLiteral("%1 confirmed, %2 in the database").arg(confirmes.size()).arg(enBase.size())));
        QVERIFY(QSet<qint64>(confirmes).unite(incertains).contains(enBase));
        QCOMPARE(enBase.size(), lus.size());
    }
    const QString soldeAttendu =
        QStringLiteral("SELECT COUNT(*) FROM accounts a WHERE balance <> "
                       "COALESCE((SELECT SUM(amount) FROM credits WHERE account = a.account), 0)"
                       " + COALESCE((SELECT SUM(amount) FROM transfers WHERE recipient = a.account), 0)"
                       " - COALESCE((SELECT SUM(amount) FROM transfers WHERE sender = a.account), 0)");
    QCOMPARE(lireColonne(nouveau, soldeAttendu), QVariantList{qint64(0)});
    QCOMPARE(lireColonne(nouveau, QStringLiteral("SELECT SUM(balance) - (SELECT SUM(amount) FROM credits) FROM accounts")),
             QVariantList{qint64(0)});
    QVERIFY(serveur.arreter());
}

QTEST_GUILESS_MAIN(TestBascule)
#include "tst_bascule.moc"
