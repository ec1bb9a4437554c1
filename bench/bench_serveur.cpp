// The real qovi-server under load, on loopback, each figure against a baseline
// measured in the same run:
// - transfers per second and their latency with 1, 10 and 100 clients sending
//   one transfer after another, against the rate of single-row durable commits
//   on the same SQLite settings (WAL, synchronous=FULL) in the same folder, and
//   the server's transfer transaction alone, in this process, against the same;
// - how long one client waits for a transfer while 100 new accounts log in;
// - a known account's login latency while 300 clients create accounts, against
//   the same login on the idle server;
// - one client's transfer rate while n idle authenticated connections are held,
//   against the rate with none, and the server's memory per idle connection.
//
//   bench_serveur SERVER [SECONDS [CONNECTIONS...]]   (defaults: 3 s; 10000)
//   QOVI_BENCH_QUICK=1: fewer logins timed.
//
// The clients run on one Asio event loop (epoll), so this process can hold ten
// thousand connections. They leave from many addresses of 127.0.0.0/8 and log in
// to many accounts, as real users would, so that a server's per-address and
// per-account limits measure what they are meant for. Anything that stops a
// figure from being measured (a refusal, a closed connection, a time-out, the
// server gone) ends the run with a message and status 1.

#include "connexionbanc.h"
#include "serveursoustest.h"
#include "tableau.h"

#include "server/banque/banque.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

using Connexions = std::vector<std::shared_ptr<ConnexionBanc>>;

const QString cle = QStringLiteral("12345678901234567890");

// Connections per account and per source address for idle connections: under
// the limits a server may set (64 per account, 256 per address).
constexpr int connexionsParCompte = 50;
constexpr int connexionsParAdresse = 200;
// Logins or account creations in flight at once when many connections open: the
// server checks at most 8 keys per core at once and answers the rest "busy", so
// no more than a one-core server takes (the derivations keep every core busy anyway).
constexpr int enVolMax = 8;

// Account numbers: 0-100 pay each other, from 0x1000 the idle connections'
// accounts, from 0x100000 accounts created during the run.
QString numeroCompte(int i)
{
    return QStringLiteral("%1").arg(i, 12, 16, QLatin1Char('0')).toUpper();
}
int compteInactif(int i) { return 0x1000 + i / connexionsParCompte; }

// Source addresses: block b of 127.b.0.0/16, one per i (no .0 or .255 host part).
enum class Bloc { Virements = 1, Inactives = 2, Connus = 3, Creations = 4, Tempete = 5 };
asio::ip::address_v4 adresseSource(Bloc bloc, int i)
{
    if (i >= 250 * 256)
        throw EchecBanc("out of source addresses in 127." + std::to_string(int(bloc)) + ".0.0/16");
    return asio::ip::address_v4((127u << 24) | (unsigned(bloc) << 16) | (unsigned(i / 250) << 8)
                                | unsigned(1 + i % 250));
}

std::string texte(const QString &q) { return q.toStdString(); }

// The event loop, the server and where it listens, for the whole run.
struct Banc
{
    asio::io_context contexte;
    asio::executor_work_guard<asio::io_context::executor_type> travail = asio::make_work_guard(contexte);
    ServeurSousTest *serveur = nullptr;
    asio::ip::tcp::endpoint adresse;

    std::shared_ptr<ConnexionBanc> ouvrir(Bloc bloc, int i)
    {
        return ConnexionBanc::ouvrir(contexte, adresseSource(bloc, i), adresse);
    }

    // Runs the event loop until fini() holds; a time-out is a failure to run.
    void attendre(const std::function<bool()> &fini, int secondes, const std::string &quoi)
    {
        attendreBanc(contexte, fini, [this] { serveur->verifierEnMarche(); }, secondes, quoi);
    }

    void fermer(Connexions &connexions)
    {
        for (auto &connexion : connexions)
            connexion->fermer();
        connexions.clear();
        contexte.poll(); // lets the closed connections' handlers end
    }
};

bool estAccueil(const QString &reponse)
{
    return reponse.startsWith(QLatin1String("m:")) || reponse.startsWith(QLatin1String("n:"));
}

[[noreturn]] void refuser(const std::string &quoi, const QString &reponse)
{
    throw EchecBanc(quoi + " got \"" + texte(reponse) + "\""
                    + (reponse.startsWith(QLatin1String("i:")) ? " (a server limit? see the options it was given)"
                                                               : ""));
}

// Opens n connections, connection i from source(i) logged in as compte(i),
// at most enVolMax at a time; returns once all are in.
Connexions connecter(Banc &banc, int n, const std::function<QString(int)> &compte,
                     const std::function<std::shared_ptr<ConnexionBanc>(int)> &ouvrir)
{
    Connexions connexions;
    int acceptees = 0;
    std::function<void(int)> essayer;
    std::function<void()> suivante = [&] {
        connexions.push_back(nullptr);
        essayer(int(connexions.size()) - 1);
    };
    essayer = [&](int i) {
        const QString numero = compte(i);
        connexions[size_t(i)] = ouvrir(i);
        ConnexionBanc *c = connexions[size_t(i)].get();
        c->surOuverture = [c, numero] { c->envoyer(QStringLiteral("c:") + numero + QLatin1Char(':') + cle); };
        c->surReponse = [&, c, numero, i](const QString &reponse) {
            c->surReponse = nullptr;
            if (reponse.startsWith(QLatin1String("i:Too many keys are being checked"))) {
                // As the answer asks: again, a moment later, on a new connection.
                c->fermer();
                auto pause = std::make_shared<asio::steady_timer>(banc.contexte, std::chrono::milliseconds(100));
                pause->async_wait([&, i, pause](const asio::error_code &) { essayer(i); });
                return;
            }
            if (!estAccueil(reponse))
                refuser("the login of " + texte(numero), reponse);
            ++acceptees;
            if (int(connexions.size()) < n)
                suivante();
        };
    };
    while (int(connexions.size()) < std::min(n, enVolMax))
        suivante();
    // Each login may cost the server a key derivation: ten thousand take minutes,
    // so only a stall (no login answered for two minutes) is a failure.
    int vues = 0;
    auto progres = Horloge::now();
    banc.attendre(
        [&] {
            if (acceptees != vues) {
                vues = acceptees;
                progres = Horloge::now();
            } else if (Horloge::now() - progres > std::chrono::minutes(2)) {
                throw EchecBanc("no login answered for 2 minutes (" + std::to_string(acceptees) + " of "
                                + std::to_string(n) + " in)");
            }
            return acceptees == n;
        },
        24 * 3600, std::to_string(n) + " logins");
    return connexions;
}

struct Charge
{
    double parSeconde = 0;
    double p50 = 0, p99 = 0, max = 0;
};

// k clients each send a transfer of 1 to the next account, wait for its "s:",
// and send the next, for secondes; the last account only receives.
Charge chargerServeur(Banc &banc, int k, int secondes)
{
    Connexions clients = connecter(banc, k + 1, numeroCompte, [&](int i) { return banc.ouvrir(Bloc::Virements, i); });
    std::vector<double> latences;
    std::vector<Horloge::time_point> envoi(static_cast<size_t>(k));
    const auto debut = Horloge::now();
    const auto fin = debut + std::chrono::seconds(secondes);
    int enCours = 0;
    auto envoyer = [&](int i) {
        envoi[size_t(i)] = Horloge::now();
        ++enCours;
        clients[size_t(i)]->envoyer(QStringLiteral("v:%1:%2:1:%3").arg(numeroCompte(i), numeroCompte(i + 1), cle));
    };
    for (int i = 0; i <= k; ++i) {
        clients[size_t(i)]->surReponse = [&, i](const QString &reponse) {
            if (reponse.startsWith(QLatin1String("r:")))
                return;
            if (i == k || !reponse.startsWith(QLatin1String("s:")))
                refuser("a transfer from " + texte(numeroCompte(i)), reponse);
            --enCours;
            latences.push_back(ms(Horloge::now() - envoi[size_t(i)]));
            if (Horloge::now() < fin)
                envoyer(i);
        };
    }
    for (int i = 0; i < k; ++i)
        envoyer(i);
    banc.attendre([&] { return Horloge::now() >= fin && enCours == 0; }, secondes + 120,
                  "the answers to " + std::to_string(k) + " clients' transfers");
    Charge charge;
    charge.parSeconde = double(latences.size()) / (ms(Horloge::now() - debut) / 1000);
    charge.p50 = centile(latences, 0.50);
    charge.p99 = centile(latences, 0.99);
    charge.max = latences.empty() ? 0 : *std::max_element(latences.begin(), latences.end());
    banc.fermer(clients);
    return charge;
}

// One client sends transfers one after another while n new accounts log in
// at once (a key derivation each on the server): the longest wait for an
// answer, and how long the logins took.
struct Tempete
{
    double attenteMax = 0;
    double identificationsMs = 0;
    int virements = 0;
};

Tempete transfererPendantIdentifications(Banc &banc, int n)
{
    Connexions paire = connecter(banc, 2, numeroCompte, [&](int i) { return banc.ouvrir(Bloc::Virements, i); });
    std::vector<double> latences;
    Horloge::time_point envoi;
    bool fini = false;
    int enCours = 0;
    auto envoyer = [&] {
        envoi = Horloge::now();
        ++enCours;
        paire[0]->envoyer(QStringLiteral("v:%1:%2:1:%3").arg(numeroCompte(0), numeroCompte(1), cle));
    };
    paire[0]->surReponse = [&](const QString &reponse) {
        if (!reponse.startsWith(QLatin1String("s:")))
            refuser("a transfer during the logins", reponse);
        --enCours;
        latences.push_back(ms(Horloge::now() - envoi));
        if (!fini)
            envoyer();
    };
    paire[1]->surReponse = [](const QString &) {};

    // All at once, each from its own address: a server may limit creations per address.
    Connexions foule;
    int identifies = 0;
    const auto debut = Horloge::now();
    for (int i = 0; i < n; ++i) {
        foule.push_back(banc.ouvrir(Bloc::Tempete, i));
        ConnexionBanc *c = foule.back().get();
        const QString numero = numeroCompte(0x100000 + i);
        c->surOuverture = [c, numero] { c->envoyer(QStringLiteral("c:") + numero + QLatin1Char(':') + cle); };
        // Beyond the keys a server checks at once, the answer is "busy" at once:
        // an answer too, which is what the storm is about.
        c->surReponse = [&identifies, c, numero](const QString &reponse) {
            const bool occupe = reponse.startsWith(QLatin1String("i:Too many keys are being checked"));
            if (!estAccueil(reponse) && !occupe)
                refuser("the creation of " + texte(numero), reponse);
            if (occupe)
                c->fermer(); // the server closes it after that answer
            ++identifies;
        };
    }
    envoyer();
    banc.attendre([&] { return identifies == n; }, 600, std::to_string(n) + " new accounts' logins");
    Tempete tempete;
    tempete.identificationsMs = ms(Horloge::now() - debut);
    fini = true;
    banc.attendre([&] { return enCours == 0; }, 120, "the last transfer");
    tempete.attenteMax = latences.empty() ? 0 : *std::max_element(latences.begin(), latences.end());
    tempete.virements = int(latences.size());
    banc.fermer(foule);
    banc.fermer(paire);
    return tempete;
}

// Keeps `clients` connections busy creating accounts: each sends the
// credentials of a new account, and once it is answered, closes and is
// replaced by another from a fresh address (a server may allow only a few
// creations per address and minute).
class Inondation
{
public:
    Inondation(Banc &banc, int clients) : banc(banc)
    {
        for (int i = 0; i < clients; ++i)
            lancer();
        banc.attendre([&] { return envoyees >= clients; }, 120, "the account-creating clients to connect");
    }

    // Stops sending and waits for every creation under way to be answered.
    int arreter()
    {
        arret = true;
        banc.attendre([&] { return enCours == 0; }, 600, "the creations under way");
        banc.fermer(connexions);
        return faites;
    }

private:
    void lancer()
    {
        const int i = numero++;
        const QString compte = numeroCompte(0x200000 + i);
        auto connexion = banc.ouvrir(Bloc::Creations, i);
        connexions.push_back(connexion);
        ConnexionBanc *c = connexion.get();
        ++enCours;
        c->surOuverture = [this, c, compte] {
            c->envoyer(QStringLiteral("c:") + compte + QLatin1Char(':') + cle);
            ++envoyees;
        };
        c->surReponse = [this, c, compte](const QString &reponse) {
            // "Busy" comes at once beyond the keys a server checks at once: the
            // client goes on with another account, as the flood's purpose is load.
            const bool occupe = reponse.startsWith(QLatin1String("i:Too many keys are being checked"));
            if (!estAccueil(reponse) && !occupe)
                refuser("the creation of " + texte(compte), reponse);
            --enCours;
            faites += occupe ? 0 : 1;
            c->fermer();
            if (!arret)
                lancer();
        };
        if (connexions.size() > 4096) // forget the closed ones
            connexions.erase(std::remove_if(connexions.begin(), connexions.end(),
                                            [](const auto &x) { return x.use_count() == 1; }),
                             connexions.end());
    }

    Banc &banc;
    Connexions connexions;
    int numero = 0, envoyees = 0, enCours = 0, faites = 0;
    bool arret = false;
};

// n logins of known accounts, one started every intervalle on a new connection
// whatever the state of the others: the time from the connection's start to
// the balance, each.
std::vector<double> identificationsConnues(Banc &banc, int n, std::chrono::milliseconds intervalle)
{
    std::vector<double> latences;
    Connexions connexions;
    asio::steady_timer minuterie(banc.contexte);
    std::function<void()> suivante = [&] {
        const int i = int(connexions.size());
        const QString compte = numeroCompte(i % 32);
        const auto debut = Horloge::now();
        connexions.push_back(banc.ouvrir(Bloc::Connus, i % 50));
        ConnexionBanc *c = connexions.back().get();
        c->surOuverture = [c, compte] { c->envoyer(QStringLiteral("c:") + compte + QLatin1Char(':') + cle); };
        c->surReponse = [&, c, compte, debut](const QString &reponse) {
            if (!reponse.startsWith(QLatin1String("m:")))
                refuser("the login of the known account " + texte(compte), reponse);
            latences.push_back(ms(Horloge::now() - debut));
            c->fermer();
        };
        if (int(connexions.size()) == n)
            return;
        minuterie.expires_after(intervalle);
        minuterie.async_wait([&](const asio::error_code &erreur) {
            if (!erreur)
                suivante();
        });
    };
    suivante();
    banc.attendre([&] { return int(latences.size()) == n; }, 600, std::to_string(n) + " logins of known accounts");
    banc.fermer(connexions);
    return latences;
}

// Single-row commits, each its own transaction, with the server's SQLite settings.
double commitsParSeconde(const QString &chemin, int secondes)
{
    double resultat = 0;
    {
        QSqlDatabase base = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("commits"));
        base.setDatabaseName(chemin);
        if (!base.open())
            throw EchecBanc("cannot open " + texte(chemin));
        QSqlQuery requete(base);
        requete.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        requete.exec(QStringLiteral("PRAGMA synchronous=FULL"));
        requete.exec(QStringLiteral("CREATE TABLE rows (id INTEGER PRIMARY KEY, amount INTEGER)"));
        requete.prepare(QStringLiteral("INSERT INTO rows (amount) VALUES (?)"));
        QElapsedTimer chrono;
        chrono.start();
        int n = 0;
        while (chrono.elapsed() < secondes * 1000) {
            base.transaction();
            requete.addBindValue(n);
            requete.exec();
            base.commit();
            ++n;
        }
        resultat = n / (chrono.nsecsElapsed() / 1e9);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("commits"));
    return resultat;
}

// The server's transfer transaction, made here with no network, one per commit.
double transactionsParSeconde(const QString &chemin, int secondes)
{
    Banque banque;
    qint64 solde = 0;
    if (!banque.ouvrir(chemin) || banque.identifier(numeroCompte(0), cle, &solde) != Banque::Issue::Cree
        || banque.identifier(numeroCompte(1), cle, &solde) != Banque::Issue::Cree
        || banque.crediter(numeroCompte(0), 1000000000, &solde) != Banque::Issue::Fait)
        throw EchecBanc("cannot prepare the in-process transactions: " + texte(banque.erreur()));
    QElapsedTimer chrono;
    chrono.start();
    int n = 0;
    while (chrono.elapsed() < secondes * 1000) {
        QVector<Banque::Ordre> lot{{numeroCompte(0), numeroCompte(1), 1, Banque::Issue::Erreur}};
        banque.transfererLot(lot);
        if (lot.front().issue != Banque::Issue::Fait)
            throw EchecBanc("an in-process transaction failed: " + texte(banque.erreur()));
        ++n;
    }
    return n / (chrono.nsecsElapsed() / 1e9);
}

// Accounts 0-100 with money enough for any run, and the idle connections' accounts.
void preparerComptes(const QString &base, int inactives)
{
    Banque banque;
    if (!banque.ouvrir(base))
        throw EchecBanc(texte(banque.erreur()));
    qint64 solde = 0;
    for (int i = 0; i <= 100; ++i) {
        if (banque.identifier(numeroCompte(i), cle, &solde) != Banque::Issue::Cree
            || banque.crediter(numeroCompte(i), 1000000000, &solde) != Banque::Issue::Fait)
            throw EchecBanc("cannot create the accounts: " + texte(banque.erreur()));
    }
    for (int i = 0; i < inactives; i += connexionsParCompte) {
        if (banque.identifier(numeroCompte(compteInactif(i)), cle, &solde) != Banque::Issue::Cree)
            throw EchecBanc("cannot create the accounts: " + texte(banque.erreur()));
    }
}

// Each connection takes a descriptor here and one in the server, which inherits
// this limit: the soft limit goes up to the hard one (and the hard one up, for root).
void leverLimiteDescripteurs(int connexions)
{
    rlimit limite{};
    getrlimit(RLIMIT_NOFILE, &limite);
    const rlim_t besoin = rlim_t(connexions) + 1024;
    if (limite.rlim_max < besoin) {
        rlimit plus{besoin, besoin};
        if (setrlimit(RLIMIT_NOFILE, &plus) == 0)
            limite = plus;
    }
    limite.rlim_cur = limite.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limite);
    if (limite.rlim_cur < besoin)
        throw EchecBanc("the descriptor limit (" + std::to_string(limite.rlim_cur) + ") is too low for "
                        + std::to_string(connexions) + " connections: raise it (ulimit -Hn) or ask for fewer");
}

const std::string baseCommits = "single-row durable commits (SQLite, WAL, synchronous=FULL)";

void mesurerVirements(Banc &banc, QTemporaryDir &dossier, int secondes, double *attenteSansIdentifications)
{
    const double commits = commitsParSeconde(dossier.filePath(QStringLiteral("commits-0.sqlite")), secondes);
    const double transactions = transactionsParSeconde(dossier.filePath(QStringLiteral("transactions.sqlite")), secondes);
    fprintf(stderr, "  transfer transactions in process: %.0f/s; %.0f commits/s\n", transactions, commits);
    ligneTableau("the server's transfer transaction alone (in process, no network)",
                 formater("%.0f /s", transactions), baseCommits, formater("%.0f /s", commits), transactions / commits);
    for (int k : {1, 10, 100}) {
        // The disk's pace drifts: each load gets its own baseline, measured just before.
        const double commits = commitsParSeconde(dossier.filePath(QStringLiteral("commits-%1.sqlite").arg(k)), secondes);
        const Charge charge = chargerServeur(banc, k, secondes);
        if (k == 1)
            *attenteSansIdentifications = charge.max;
        fprintf(stderr, "  %d client(s): %.0f transfers/s, p50 %.2f ms, p99 %.2f ms; %.0f commits/s\n", k,
                charge.parSeconde, charge.p50, charge.p99, commits);
        ligneTableau("server transfers with " + std::to_string(k) + " client" + (k > 1 ? "s" : "")
                         + formater(" (p50 %.1f ms, ", charge.p50) + formater("p99 %.1f ms)", charge.p99),
                     formater("%.0f /s", charge.parSeconde), baseCommits, formater("%.0f /s", commits),
                     charge.parSeconde / commits);
    }
}

void mesurerTempete(Banc &banc, double attenteSansIdentifications)
{
    const int n = 100;
    const Tempete tempete = transfererPendantIdentifications(banc, n);
    fprintf(stderr, "  %d transfers while %d accounts logged in (%.0f ms), longest wait %.1f ms\n", tempete.virements,
            n, tempete.identificationsMs, tempete.attenteMax);
    ligneTableau("longest wait for a transfer while " + std::to_string(n) + " new accounts log in"
                     + formater(" (they take %.1f s)", tempete.identificationsMs / 1000),
                 formater("%.1f ms", tempete.attenteMax), "longest wait with no login (1 client, above)",
                 formater("%.1f ms", attenteSansIdentifications), tempete.attenteMax / attenteSansIdentifications);
}

void mesurerInondation(Banc &banc, int identifications)
{
    const int clients = 300;
    const auto intervalle = std::chrono::milliseconds(100);
    const std::vector<double> auRepos = identificationsConnues(banc, identifications, intervalle);
    const auto debut = Horloge::now();
    Inondation inondation(banc, clients);
    const std::vector<double> pendant = identificationsConnues(banc, identifications, intervalle);
    const double secondes = ms(Horloge::now() - debut) / 1000;
    const int creees = inondation.arreter();
    fprintf(stderr,
            "  known logins idle: p50 %.1f ms, p99 %.1f ms; during %d clients' creations (%d accounts in %.1f s): "
            "p50 %.1f ms, p99 %.1f ms\n",
            centile(auRepos, 0.5), centile(auRepos, 0.99), clients, creees, secondes, centile(pendant, 0.5),
            centile(pendant, 0.99));
    const std::string quoi = "a known account's login (connection to balance; " + std::to_string(identifications)
                             + ", one every 100 ms) while " + std::to_string(clients)
                             + " clients create accounts";
    const std::string base = "the same logins on the idle server";
    ligneTableau(quoi + formater(", p50 (%.0f accounts created/s)", creees / secondes),
                 formater("%.1f ms", centile(pendant, 0.5)), base + ", p50",
                 formater("%.1f ms", centile(auRepos, 0.5)), centile(pendant, 0.5) / centile(auRepos, 0.5));
    ligneTableau(quoi + ", p99", formater("%.1f ms", centile(pendant, 0.99)), base + ", p99",
                 formater("%.1f ms", centile(auRepos, 0.99)), centile(pendant, 0.99) / centile(auRepos, 0.99));
}

void mesurerInactives(Banc &banc, int n, int secondes)
{
    const Charge seul = chargerServeur(banc, 1, secondes);
    const long repos = banc.serveur->rssKio();
    const auto debut = Horloge::now();
    // Consecutive logins go to different accounts and addresses: a server checks
    // only a few keys a second per account, and per address and account, so
    // logins that queue on one account would measure that rate, not the memory.
    const int comptes = (n + connexionsParCompte - 1) / connexionsParCompte;
    const int adresses = (n + connexionsParAdresse - 1) / connexionsParAdresse;
    Connexions inactives = connecter(
        banc, n, [comptes](int i) { return numeroCompte(compteInactif(i % comptes * connexionsParCompte)); },
        [&](int i) { return banc.ouvrir(Bloc::Inactives, i % adresses); });
    const double connexionMs = ms(Horloge::now() - debut);
    // From now on the server must leave them be.
    for (auto &connexion : inactives) {
        connexion->surReponse = [](const QString &) {};
        connexion->surEchec = [](const std::string &raison) {
            throw EchecBanc("an idle connection ended: " + raison);
        };
    }
    const long rss = banc.serveur->rssKio();
    const Charge charge = chargerServeur(banc, 1, secondes);
    const double parConnexion = double(rss - repos) / n;
    fprintf(stderr,
            "  %d idle connections in %.0f ms; 1 client: %.0f transfers/s with them, %.0f/s without; server RSS "
            "%ld KiB (%ld KiB without)\n",
            n, connexionMs, charge.parSeconde, seul.parSeconde, rss, repos);
    ligneTableau("server transfers with 1 client while " + std::to_string(n)
                     + " idle authenticated connections are held"
                     + formater(" (p50 %.1f ms, ", charge.p50) + formater("p99 %.1f ms)", charge.p99),
                 formater("%.0f /s", charge.parSeconde), "the same with none (measured just before)",
                 formater("%.0f /s", seul.parSeconde), charge.parSeconde / seul.parSeconde);
    ligneTableau("server RSS with " + std::to_string(n) + " idle authenticated connections"
                     + formater(" (%.1f KiB each", parConnexion)
                     + formater(", all logged in within %.1f s)", connexionMs / 1000),
                 formater("%.1f MiB", rss / 1024.0), "server RSS with none", formater("%.1f MiB", repos / 1024.0),
                 double(rss) / repos);
    banc.fermer(inactives);
}

std::vector<std::string> optionsServeur(const std::string &programme, const QString &base)
{
    std::vector<std::string> options{"--port", "0", "--database", texte(base), "--idle-timeout", "3600"};
    // Newer servers limit connections per account and per address: this
    // benchmark stays under these, and says so explicitly.
    if (ServeurSousTest::connaitOption(programme, "--max-connections-per-account"))
        options.insert(options.end(), {"--max-connections-per-account", std::to_string(64)});
    if (ServeurSousTest::connaitOption(programme, "--max-connections-per-address"))
        options.insert(options.end(), {"--max-connections-per-address", std::to_string(256)});
    return options;
}

int executer(const QStringList &arguments)
{
    const std::string programme = texte(arguments.at(1));
    const int secondes = arguments.size() > 2 ? std::max(1, arguments.at(2).toInt()) : 3;
    std::vector<int> paliers = {10000};
    if (arguments.size() > 3) {
        paliers.clear();
        for (int i = 3; i < arguments.size(); ++i)
            paliers.push_back(std::max(1, arguments.at(i).toInt()));
    }
    const bool rapide = qEnvironmentVariableIntValue("QOVI_BENCH_QUICK") == 1;
    const int plusGrand = *std::max_element(paliers.begin(), paliers.end());
    leverLimiteDescripteurs(plusGrand);

    QTemporaryDir dossier(QDir::current().filePath(QStringLiteral("serveur-XXXXXX")));
    const QString base = dossier.filePath(QStringLiteral("bank.sqlite"));
    fprintf(stderr, "  creating the accounts...\n");
    preparerComptes(base, plusGrand);

    ServeurSousTest serveur(programme, optionsServeur(programme, base), texte(dossier.filePath("server.log")));
    Banc banc;
    banc.serveur = &serveur;
    banc.adresse = asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), serveur.port());
    try {
        double attenteSansIdentifications = 0;
        mesurerVirements(banc, dossier, secondes, &attenteSansIdentifications);
        mesurerTempete(banc, attenteSansIdentifications);
        mesurerInondation(banc, rapide ? 20 : 100);
        for (int n : paliers)
            mesurerInactives(banc, n, secondes);
        serveur.verifierEnMarche();
    } catch (const EchecBanc &echec) {
        std::string message = echec.what();
        try {
            serveur.verifierEnMarche();
        } catch (const EchecBanc &fin) {
            message += std::string(" (") + fin.what() + ")";
        }
        throw EchecBanc(message + "\nthe server's log ends with:\n" + serveur.finJournal());
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    return lancerBanc(argc, argv, "SERVER [SECONDS [CONNECTIONS...]]", 2, executer);
}
