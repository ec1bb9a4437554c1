// The real qovi-server on PostgreSQL, against what PostgreSQL itself does on
// the same cluster in the same run:
// - transfers per second with 1, 10 and 100 clients on one server, and with
//   100 clients spread over 1, 2 and 4 servers on the one database, each
//   against `pgbench` running single-row INSERTs (one transaction each,
//   prepared statements) with as many clients, measured just before;
// - optionally the same loads on another server program (an older build), in
//   alternation with the new one, for before/after figures.
//
//   bench_postgres SERVER POSTGRES_URL [SECONDS [BEFORE_SERVER]]   (default 3 s)
//   QOVI_PGBENCH: the pgbench program (default: pgbench from PATH).
//
// Each client sends a transfer of 1 to the next account, waits for its "s:"
// and sends the next; the clients of one server pay each other in a chain
// (the last account of the chain only receives), so every recipient is
// connected to the same server. Anything that stops a figure from being
// measured (a refusal, a closed connection, a time-out, a server gone,
// pgbench failing) ends the run with a message and status 1.

#include "connexionbanc.h"
#include "serveursoustest.h"
#include "tableau.h"

#include "server/banque/banque.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace {

using Serveurs = std::vector<std::unique_ptr<ServeurSousTest>>;

const QString cle = QStringLiteral("12345678901234567890");
constexpr int clientsMax = 100;
constexpr int serveursMax = 4;

// Chain g (one per server) holds accounts g*1000 .. g*1000 + clients.
QString numeroCompte(int chaine, int i)
{
    return QStringLiteral("%1").arg(0xB000 + chaine * 1000 + i, 12, 16, QLatin1Char('0')).toUpper();
}

std::string texte(const QString &q) { return q.toStdString(); }
struct Charge
{
    double parSeconde = 0;
    double p50 = 0, p99 = 0;
};

// Every chain's accounts, with money enough for any run.
void preparerComptes(const QString &url)
{
    Banque banque;
    if (!banque.ouvrir(url))
        throw EchecBanc("cannot open the database: " + texte(banque.erreur()));
    qint64 solde = 0;
    for (int chaine = 0; chaine < serveursMax; ++chaine) {
        for (int i = 0; i <= clientsMax; ++i) {
            const QString compte = numeroCompte(chaine, i);
            const Banque::Issue issue = banque.identifier(compte, cle, &solde);
            if (issue == Banque::Issue::Accepte && solde >= 100000000)
                continue;
            if ((issue != Banque::Issue::Cree && issue != Banque::Issue::Accepte)
                || banque.crediter(compte, 1000000000, &solde) != Banque::Issue::Fait)
                throw EchecBanc("cannot create the accounts: " + texte(banque.erreur()));
        }
    }
}

class Banc
{
public:
    // k clients spread over the first s servers, for secondes.
    Charge charger(Serveurs &serveurs, int k, int s, int secondes)
    {
        std::vector<Client> clients;
        for (int g = 0; g < s; ++g) {
            const int parChaine = k / s + (g < k % s ? 1 : 0);
            const asio::ip::tcp::endpoint adresse(asio::ip::address_v4::loopback(), serveurs[size_t(g)]->port());
            for (int i = 0; i <= parChaine; ++i)
                clients.push_back(Client{ouvrir(adresse), numeroCompte(g, i), numeroCompte(g, i + 1), i < parChaine, {}});
        }
        connecter(serveurs, clients);
        return transferer(serveurs, clients, secondes);
    }

private:
    struct Client
    {
        std::shared_ptr<ConnexionBanc> connexion;
        QString compte;
        QString suivant;
        bool envoie;
        Horloge::time_point envoi;
    };

    std::shared_ptr<ConnexionBanc> ouvrir(const asio::ip::tcp::endpoint &serveur)
    {
        // One source address per client: a server may limit connections per address.
        const unsigned i = unsigned(sources++);
        const asio::ip::address_v4 source((127u << 24) | (6u << 16) | ((i / 250) << 8) | (1 + i % 250));
        return ConnexionBanc::ouvrir(contexte, source, serveur);
    }

    void attendre(Serveurs &serveurs, const std::function<bool()> &fini, int secondes, const std::string &quoi)
    {
        const auto verifier = [&serveurs] {
            for (auto &serveur : serveurs)
                serveur->verifierEnMarche();
        };
        attendreBanc(contexte, fini, verifier, secondes, quoi);
    }

    // A few logins in flight at once: a server checks at most 8 keys per core at
    // once and answers the others "busy".
    void connecter(Serveurs &serveurs, std::vector<Client> &clients)
    {
        constexpr int enVolMax = 8;
        size_t acceptes = 0;
        int enVol = 0;
        std::deque<std::function<void()>> enAttente;
        auto lancer = [&](std::function<void()> envoi) {
            if (enVol >= enVolMax) {
                enAttente.push_back(std::move(envoi));
                return;
            }
            ++enVol;
            envoi();
        };
        for (Client &client : clients) {
            ConnexionBanc *c = client.connexion.get();
            const QString compte = client.compte;
            c->surOuverture = [&lancer, c, compte] {
                lancer([c, compte] { c->envoyer(QStringLiteral("c:") + compte + QLatin1Char(':') + cle); });
            };
            c->surReponse = [&, c, compte](const QString &reponse) {
                if (!reponse.startsWith(QLatin1String("m:")))
                    throw EchecBanc("the login of " + texte(compte) + " got \"" + texte(reponse) + "\"");
                c->surReponse = nullptr;
                ++acceptes;
                --enVol;
                if (!enAttente.empty()) {
                    auto suivante = std::move(enAttente.front());
                    enAttente.pop_front();
                    lancer(std::move(suivante));
                }
            };
        }
        attendre(serveurs, [&] { return acceptes == clients.size(); }, 120, "the clients' logins");
    }

    Charge transferer(Serveurs &serveurs, std::vector<Client> &clients, int secondes)
    {
        std::vector<double> latences;
        int enCours = 0;
        const auto debut = Horloge::now();
        const auto fin = debut + std::chrono::seconds(secondes);
        auto envoyer = [&](Client &client) {
            client.envoi = Horloge::now();
            ++enCours;
            client.connexion->envoyer(QStringLiteral("v:%1:%2:1:%3").arg(client.compte, client.suivant, cle));
        };
        for (Client &client : clients) {
            Client *c = &client;
            c->connexion->surReponse = [&, c](const QString &reponse) {
                if (reponse.startsWith(QLatin1String("r:")))
                    return;
                if (!c->envoie || !reponse.startsWith(QLatin1String("s:")))
                    throw EchecBanc("a transfer from " + texte(c->compte) + " got \"" + texte(reponse) + "\"");
                --enCours;
                latences.push_back(ms(Horloge::now() - c->envoi));
                if (Horloge::now() < fin)
                    envoyer(*c);
            };
        }
        for (Client &client : clients) {
            if (client.envoie)
                envoyer(client);
        }
        attendre(serveurs, [&] { return Horloge::now() >= fin && enCours == 0; }, secondes + 120,
                 "the answers to the transfers");
        Charge charge;
        charge.parSeconde = double(latences.size()) / (ms(Horloge::now() - debut) / 1000);
        charge.p50 = centile(latences, 0.50);
        charge.p99 = centile(latences, 0.99);
        for (Client &client : clients)
            client.connexion->fermer();
        contexte.poll();
        return charge;
    }

    asio::io_context contexte;
    // Keeps the loop from stopping between two loads, when no operation is pending.
    asio::executor_work_guard<asio::io_context::executor_type> travail = asio::make_work_guard(contexte);
    int sources = 0;
};

// pgbench's rate of single-row INSERTs, one transaction each, with k clients.
double pgbench(const QString &url, const QString &script, int k, int secondes)
{
    const QString programme = qEnvironmentVariable("QOVI_PGBENCH", QStringLiteral("pgbench"));
    // Its clock starts before its clients connect (a password check each, which
    // its rate leaves out): a few more seconds, so that they run for secondes.
    const QString commande = QStringLiteral("'%1' -n -M prepared -f '%2' -c %3 -j 1 -T %4 '%5' 2>&1")
                                 .arg(programme, script)
                                 .arg(k)
                                 .arg(secondes + 3 + k / 10)
                                 .arg(url);
    FILE *sortie = popen(commande.toLocal8Bit().constData(), "r");
    if (!sortie)
        throw EchecBanc("cannot run pgbench");
    std::string texteSortie;
    char tampon[512];
    size_t n;
    while ((n = fread(tampon, 1, sizeof tampon, sortie)) > 0)
        texteSortie.append(tampon, n);
    const int statut = pclose(sortie);
    const size_t tps = texteSortie.find("tps = ");
    if (statut != 0 || tps == std::string::npos)
        throw EchecBanc("pgbench failed:\n" + texteSortie);
    return std::atof(texteSortie.c_str() + tps + 6);
}

QString ecrireScriptPgbench(const QTemporaryDir &dossier, const QString &url)
{
    QString erreur;
    {
        QSqlDatabase base = connexionBase(url, QStringLiteral("pgbench-table"), &erreur);
        if (!base.open())
            throw EchecBanc("cannot open the database: " + texte(erreur));
        QSqlQuery requete(base);
        if (!requete.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS bench_rows (id BIGSERIAL PRIMARY KEY,"
                                         " amount BIGINT NOT NULL)")))
            throw EchecBanc("cannot create the table for pgbench");
    }
    QSqlDatabase::removeDatabase(QStringLiteral("pgbench-table"));
    const QString chemin = dossier.filePath(QStringLiteral("insert.sql"));
    QFile script(chemin);
    if (!script.open(QIODevice::WriteOnly)
        || script.write("\\set n random(1, 1000000)\nINSERT INTO bench_rows (amount) VALUES (:n);\n") < 0)
        throw EchecBanc("cannot write the pgbench script");
    return chemin;
}

// Starts servers until there are n: a load on s servers runs with only those s
// on the database, as a deployment of s servers would (a lone server is told
// of no other server's money).
void completer(Serveurs &serveurs, size_t n, const std::string &programme, const QString &url,
               const QTemporaryDir &dossier, const std::string &nom)
{
    std::vector<std::string> options{"--port", "0", "--database", texte(url), "--idle-timeout", "3600"};
    while (serveurs.size() < n) {
        const QString journal =
            dossier.filePath(QStringLiteral("%1-%2.log").arg(QString::fromStdString(nom)).arg(serveurs.size()));
        serveurs.push_back(std::make_unique<ServeurSousTest>(programme, options, texte(journal)));
    }
}

std::string nomCharge(int k, int s)
{
    return std::to_string(k) + " client" + (k > 1 ? "s" : "") + " on " + std::to_string(s) + " server"
           + (s > 1 ? "s" : "");
}

void ligne(const std::string &quoi, const Charge &charge, int k, double insertions)
{
    ligneTableau(quoi + formater(" (p50 %.1f ms, ", charge.p50) + formater("p99 %.1f ms)", charge.p99),
                 formater("%.0f /s", charge.parSeconde),
                 "pgbench single-row INSERTs, " + std::to_string(k) + " client" + (k > 1 ? "s" : ""),
                 formater("%.0f /s", insertions), charge.parSeconde / insertions);
}

int executer(const QStringList &arguments)
{
    const std::string programme = texte(arguments.at(1));
    const QString url = arguments.at(2);
    const int secondes = arguments.size() > 3 ? std::max(1, arguments.at(3).toInt()) : 3;
    const std::string avant = arguments.size() > 4 ? texte(arguments.at(4)) : std::string();

    QTemporaryDir dossier(QDir::current().filePath(QStringLiteral("postgres-XXXXXX")));
    fprintf(stderr, "  creating the accounts...\n");
    preparerComptes(url);
    const QString script = ecrireScriptPgbench(dossier, url);
    Serveurs nouveaux, anciens;
    completer(nouveaux, 1, programme, url, dossier, "server");
    if (!avant.empty())
        completer(anciens, 1, avant, url, dossier, "before");
    Banc banc;
    try {
        // pgbench just before each load: the machine's pace drifts.
        double insertions = 0;
        for (int k : {1, 10, 100}) {
            insertions = pgbench(url, script, k, secondes);
            const Charge charge = banc.charger(nouveaux, k, 1, secondes);
            fprintf(stderr, "  %d client(s): %.0f transfers/s (p50 %.2f ms); pgbench %.0f /s\n", k, charge.parSeconde,
                    charge.p50, insertions);
            ligne("server transfers on PostgreSQL, " + nomCharge(k, 1), charge, k, insertions);
            if (!anciens.empty())
                ligne("the server before, " + nomCharge(k, 1), banc.charger(anciens, k, 1, secondes), k, insertions);
        }
        for (int s : {2, 4}) {
            completer(nouveaux, size_t(s), programme, url, dossier, "server");
            if (!anciens.empty())
                completer(anciens, size_t(s), avant, url, dossier, "before");
            const Charge charge = banc.charger(nouveaux, clientsMax, s, secondes);
            fprintf(stderr, "  100 clients on %d servers: %.0f transfers/s\n", s, charge.parSeconde);
            ligne("server transfers on PostgreSQL, " + nomCharge(clientsMax, s), charge, clientsMax, insertions);
            if (!anciens.empty())
                ligne("the server before, " + nomCharge(clientsMax, s), banc.charger(anciens, clientsMax, s, secondes),
                      clientsMax, insertions);
        }
    } catch (const EchecBanc &echec) {
        throw EchecBanc(std::string(echec.what()) + "\nthe first server's log ends with:\n"
                        + nouveaux.front()->finJournal());
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    return lancerBanc(argc, argv, "SERVER POSTGRES_URL [SECONDS [BEFORE_SERVER]]", 3, executer);
}
