// A primary with a synchronous standby (Patroni, scripts/patroni-ha.sh): the
// transfer rate when each commit waits for the standby, against the same
// cluster with commits that do not wait (synchronous_commit=local), in the same
// run; then the primary's postmaster killed under load, and the time to the
// first "s:" after it, against the time Patroni takes to promote the standby.
//
//   bench_bascule SERVER HA_URL PRIMARY_POSTMASTER_PID STANDBY_URL [SECONDS]
//
// HA_URL names both nodes (target_session_attrs=read-write); STANDBY_URL the
// standby alone. The password comes from PGPASSWORD. k clients (10), each on an
// account of its own, send transfers of 1 to the next account and the next
// transfer on each answer, for SECONDS (3) on each server, in alternation:
// server 1 connects as postgres (commits wait for the standby), server 2 as a
// role whose commits do not (qovi_sans_attente, synchronous_commit=local).

#include "connexionbanc.h"
#include "serveursoustest.h"
#include "tableau.h"

#include "server/banque/banque.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cstdio>
#include <optional>
#include <thread>

#include <signal.h>

namespace {

constexpr int clientsParServeur = 10;
const QString cle = QStringLiteral("12345678901234567890");

std::string texte(const QString &q) { return q.toStdString(); }

QString compte(int serveur, int rang)
{
    return QStringLiteral("5B%1%2").arg(serveur, 2, 10, QLatin1Char('0')).arg(rang, 8, 10, QLatin1Char('0'));
}

// One statement on url; false if it cannot be run (a node down or read-only).
bool executerSur(const QString &url, const QString &sql, QVariant *valeur = nullptr)
{
    const QString nom = QStringLiteral("bascule-sql");
    bool fait = false;
    {
        QString erreur;
        QSqlDatabase base = connexionBase(url, nom, &erreur);
        base.setConnectOptions(base.connectOptions() + QStringLiteral(";connect_timeout=1"));
        QSqlQuery requete(base);
        fait = base.open() && requete.exec(sql);
        if (fait && valeur && requete.next())
            *valeur = requete.value(0);
    }
    QSqlDatabase::removeDatabase(nom);
    return fait;
}

void preparerComptes(const QString &url)
{
    Banque banque;
    if (!banque.ouvrir(url))
        throw EchecBanc("cannot open the database: " + texte(banque.erreur()));
    qint64 solde = 0;
    for (int serveur = 1; serveur <= 2; ++serveur) {
        for (int rang = 0; rang < clientsParServeur; ++rang) {
            if (banque.identifier(compte(serveur, rang), cle, &solde) != Banque::Issue::Cree
                || banque.crediter(compte(serveur, rang), 1000000000, &solde) != Banque::Issue::Fait)
                throw EchecBanc("cannot create the accounts: " + texte(banque.erreur()));
        }
    }
}

// Clients of server numero that send transfers one after another while
// actif, counting "s:"; the first "s:" after depuis is noted.
struct Charge
{
    std::vector<std::shared_ptr<ConnexionBanc>> clients;
    std::vector<QString> virements;
    std::vector<Horloge::time_point> envois;
    // From each request to its "s:", ms.
    std::vector<double> latences;
    int connectes = 0;
    long confirmes = 0;
    bool actif = false;
    std::optional<Horloge::time_point> depuis;
    std::optional<Horloge::time_point> premierApres;

    Charge(asio::io_context &contexte, ServeurSousTest &serveur, int numero)
    {
        const asio::ip::tcp::endpoint adresse(asio::ip::address_v4::loopback(), serveur.port());
        for (int rang = 0; rang < clientsParServeur; ++rang) {
            auto client = ConnexionBanc::ouvrir(contexte, asio::ip::address_v4::loopback(), adresse);
            ConnexionBanc *c = client.get();
            const QString source = compte(numero, rang);
            envois.push_back(Horloge::now());
            virements.push_back(
                QStringLiteral("v:%1:%2:1:%3").arg(source, compte(numero, (rang + 1) % clientsParServeur), cle));
            c->surOuverture = [c, source] { c->envoyer(QStringLiteral("c:") + source + QLatin1Char(':') + cle); };
            c->surReponse = [this, rang](const QString &reponse) { repondu(rang, reponse); };
            clients.push_back(client);
        }
        attendreBanc(contexte, [&] { return connectes == clientsParServeur; }, [&] { serveur.verifierEnMarche(); },
                     60, "the clients' logins");
    }

    void lancer()
    {
        actif = true;
        for (std::size_t rang = 0; rang < clients.size(); ++rang)
            envoyer(rang);
    }

private:
    void envoyer(std::size_t rang)
    {
        envois[rang] = Horloge::now();
        clients[rang]->envoyer(virements[rang]);
    }

    void repondu(int rang, const QString &reponse)
    {
        if (reponse.startsWith(QLatin1String("m:"))) {
            ++connectes;
            return;
        }
        // The money from the previous account in the ring: a notice, not an answer.
        if (reponse.startsWith(QLatin1String("r:")))
            return;
        const auto maintenant = Horloge::now();
        if (reponse.startsWith(QLatin1String("s:"))) {
            ++confirmes;
            latences.push_back(ms(maintenant - envois[std::size_t(rang)]));
            // A request sent after the loss: one committed before it does not count.
            if (depuis && !premierApres && envois[std::size_t(rang)] > *depuis)
                premierApres = maintenant;
        }
        if (actif)
            envoyer(std::size_t(rang));
    }
};

// Transfers confirmed per second on charge while it runs for secondes.
double mesurer(asio::io_context &contexte, Charge &charge, ServeurSousTest &serveur, int secondes)
{
    charge.lancer();
    const long avant = charge.confirmes;
    const auto debut = Horloge::now();
    const auto fin = debut + std::chrono::seconds(secondes);
    attendreBanc(contexte, [&] { return Horloge::now() >= fin; }, [&] { serveur.verifierEnMarche(); }, secondes + 5,
                 "a load");
    const double taux = double(charge.confirmes - avant) / (ms(Horloge::now() - debut) / 1000);
    charge.actif = false;
    // What is in flight is answered before the next load begins.
    const auto calme = Horloge::now() + std::chrono::milliseconds(500);
    attendreBanc(contexte, [&] { return Horloge::now() >= calme; }, [] {}, 5, "the end of a load");
    return taux;
}

int executer(const QStringList &arguments)
{
    const std::string programme = texte(arguments.at(1));
    const QString url = arguments.at(2);
    const pid_t primaire = pid_t(arguments.at(3).toLongLong());
    const QString standby = arguments.at(4);
    const int secondes = arguments.size() > 5 ? std::max(1, arguments.at(5).toInt()) : 3;
    const QString motDePasse = qEnvironmentVariable("PGPASSWORD");
    if (primaire <= 0 || motDePasse.isEmpty())
        throw EchecBanc("needs the primary's postmaster PID and the password in PGPASSWORD");

    // A role like postgres whose commits do not wait for the standby.
    if (!executerSur(url, QStringLiteral("DROP ROLE IF EXISTS qovi_sans_attente"))
        || !executerSur(url, QStringLiteral("CREATE ROLE qovi_sans_attente LOGIN SUPERUSER PASSWORD '%1'").arg(motDePasse))
        || !executerSur(url, QStringLiteral("ALTER ROLE qovi_sans_attente SET synchronous_commit = local")))
        throw EchecBanc("cannot create the role without synchronous commit");
    preparerComptes(url);
    QString sansAttente = url;
    sansAttente.replace(QLatin1String("://postgres@"), QLatin1String("://qovi_sans_attente@"));

    QTemporaryDir dossier(QDir::current().filePath(QStringLiteral("bascule-XXXXXX")));
    const std::vector<std::string> options{"--port", "0", "--idle-timeout", "3600", "--database"};
    auto avec = options, sans = options;
    avec.push_back(texte(url));
    sans.push_back(texte(sansAttente));
    ServeurSousTest synchrone(programme, avec, texte(dossier.filePath(QStringLiteral("server1.log"))));
    ServeurSousTest local(programme, sans, texte(dossier.filePath(QStringLiteral("server2.log"))));
    asio::io_context contexte;
    Charge chargeSynchrone(contexte, synchrone, 1), chargeLocale(contexte, local, 2);

    double tauxSynchrone = 0, tauxLocal = 0;
    chargeSynchrone.latences.clear();
    chargeLocale.latences.clear();
    try {
        // In alternation, so that both see the same state of the machine.
        for (int tour = 0; tour < 2; ++tour) {
            tauxSynchrone += mesurer(contexte, chargeSynchrone, synchrone, secondes) / 2;
            tauxLocal += mesurer(contexte, chargeLocale, local, secondes) / 2;
        }
    } catch (const EchecBanc &echec) {
        throw EchecBanc(std::string(echec.what()) + "\nserver 1's log ends with:\n" + synchrone.finJournal()
                        + "server 2's log ends with:\n" + local.finJournal());
    }
    ligneTableau("transfer rate, commits waiting for a synchronous standby (PostgreSQL, "
                     + std::to_string(clientsParServeur) + " clients)",
                 formater("%.0f /s", tauxSynchrone), "the same, commits not waiting for it (synchronous_commit=local)",
                 formater("%.0f /s", tauxLocal), tauxSynchrone / tauxLocal);
    const double latenceSynchrone = centile(chargeSynchrone.latences, 0.5);
    const double latenceLocale = centile(chargeLocale.latences, 0.5);
    ligneTableau("transfer latency p50, commits waiting for a synchronous standby",
                 formater("%.2f ms", latenceSynchrone), "the same, commits not waiting for it",
                 formater("%.2f ms", latenceLocale), latenceSynchrone / latenceLocale);

    // The primary lost under load: the time to its promotion, and to the first "s:".
    chargeSynchrone.lancer();
    const auto enCharge = Horloge::now() + std::chrono::seconds(1);
    attendreBanc(contexte, [&] { return Horloge::now() >= enCharge; }, [&] { synchrone.verifierEnMarche(); }, 5,
                 "the load before the loss");
    if (::kill(primaire, SIGKILL) != 0)
        throw EchecBanc("cannot kill the primary's postmaster");
    const auto perte = Horloge::now();
    chargeSynchrone.depuis = perte;
    std::optional<Horloge::time_point> promotion;
    auto prochainSondage = perte;
    attendreBanc(
        contexte,
        [&] {
            if (!promotion && Horloge::now() >= prochainSondage) {
                QVariant lectureSeule;
                if (executerSur(standby, QStringLiteral("SELECT pg_is_in_recovery()"), &lectureSeule)
                    && !lectureSeule.toBool())
                    promotion = Horloge::now();
                prochainSondage = Horloge::now() + std::chrono::milliseconds(100);
            }
            return promotion && chargeSynchrone.premierApres;
        },
        [&] { synchrone.verifierEnMarche(); }, 90, "the promotion and the first \"s:\" after the primary's loss");
    chargeSynchrone.actif = false;
    const double versPromotion = ms(*promotion - perte);
    const double versService = ms(*chargeSynchrone.premierApres - perte);
    std::fprintf(stderr, "  rates: %.0f/s waiting for the standby, %.0f/s not (p50 %.2f/%.2f ms); standby promoted "
                         "%.0f ms after the primary's loss, first \"s:\" of a request sent after it %.0f ms after it\n",
                 tauxSynchrone, tauxLocal, latenceSynchrone, latenceLocale, versPromotion, versService);
    ligneTableau("time from the primary's loss (postmaster killed) to the first \"s:\" of a request sent after it",
                 formater("%.0f ms", versService), "time from the loss to the standby's promotion (Patroni)",
                 formater("%.0f ms", versPromotion), versService / versPromotion);
    for (auto &client : chargeSynchrone.clients)
        client->fermer();
    for (auto &client : chargeLocale.clients)
        client->fermer();
    contexte.poll();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    return lancerBanc(argc, argv, "SERVER HA_URL PRIMARY_POSTMASTER_PID STANDBY_URL [SECONDS]", 5, executer);
}
