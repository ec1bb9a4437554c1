// Logins under attack: the real qovi-server on loopback (SQLite), alone and
// behind HAProxy with the shipped configuration, each figure against the same
// logins on the idle service measured just before, in the same run:
// - an owner's login while wrong keys for its account come from its own
//   address (a shared NAT), directly and behind HAProxy;
// - logins of other accounts while wrong keys for one account come from 600
//   addresses (127.10.x.y);
// - an owner's login behind HAProxy while a few addresses hold as many idle
//   connections as they can.
// A login is timed from its first connection to its "m:"; told busy or cut
// off, it is tried again a second later on a new connection, as a person
// would, and that wait counts.
//
//   bench_attaques SERVER HAPROXY_CONFIGURATION
//   QOVI_BENCH_QUICK=1: fewer logins timed, shorter attacks.
//
// Anything that stops a figure from being measured (an unexpected answer, a
// time-out, a process gone) ends the run with a message and status 1.

#include "connexionbanc.h"
#include "serveursoustest.h"
#include "tableau.h"

#include "server/banque/banque.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Connexions = std::vector<std::shared_ptr<ConnexionBanc>>;
using Adresse = asio::ip::address_v4;
using Extremite = asio::ip::tcp::endpoint;

const QString cle = QStringLiteral("12345678901234567890");

QString numeroCompte(int i)
{
    return QStringLiteral("%1").arg(0xA77AC000 + i, 12, 16, QLatin1Char('0')).toUpper();
}

// Accounts: the owners of the attacked accounts, then the others that log in.
enum Compte { ProprietaireLent, ProprietaireRapide, ProprietaireProxy, Victime, ProprietaireOisives, Autres };
constexpr int nombreAutres = 32;

// 127.b.x.y, one per i (no .0 or .255 host part).
Adresse adresse(int bloc, int i)
{
    return Adresse((127u << 24) | (unsigned(bloc) << 16) | (unsigned(i / 250) << 8) | unsigned(1 + i % 250));
}
// Owners and other accounts each from an address of their own; guessers and idle connections apart.
Adresse adresseProprietaire(Compte compte) { return adresse(20, int(compte)); }
Adresse adresseAutre(int i) { return adresse(21, i); }
Adresse adresseDevin(int i) { return adresse(10, i); }
Adresse adresseOisive(int i) { return adresse(22, i); }

std::string texte(const QString &q) { return q.toStdString(); }

std::string lireFichier(const std::string &chemin)
{
    std::ifstream fichier(chemin);
    std::stringstream contenu;
    contenu << fichier.rdbuf();
    return contenu.str();
}

// Whether something listens on 127.0.0.1:port (a LISTEN line of /proc/net/tcp):
// seen there rather than by connecting, which would reach a server.
bool ecoute(uint16_t port)
{
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::istringstream table(lireFichier("/proc/net/tcp"));
    std::string ligne;
    while (std::getline(table, ligne)) {
        std::istringstream champs(ligne);
        std::string rang, adresseLocale, distante, etat;
        if (champs >> rang >> adresseLocale >> distante >> etat && adresseLocale == local && etat == "0A")
            return true;
    }
    return false;
}

uint16_t portLibre(asio::io_context &contexte)
{
    asio::ip::tcp::acceptor essai(contexte, Extremite(Adresse::loopback(), 0));
    return essai.local_endpoint().port();
}

// HAProxy with the shipped configuration: its frontend on a free port, one
// server line (the server under test, its health checked on its endpoint for
// operators), and without the switch to its own user when not run as root.
class HaproxyBanc
{
public:
    HaproxyBanc(asio::io_context &contexte, const std::string &modele, uint16_t portServeur,
                uint16_t portSurveillance, const std::string &dossier)
        : journal(dossier + "/haproxy.log")
    {
        const std::string programme = trouverProgramme();
        portFrontal = portLibre(contexte);
        const std::string configuration = dossier + "/haproxy.cfg";
        std::ofstream(configuration) << adapter(lireFichier(modele), portServeur, portSurveillance);
        pid = fork();
        if (pid == 0) {
            const int log = open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(log, 1);
            dup2(log, 2);
            execl(programme.c_str(), programme.c_str(), "-db", "-f", configuration.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid < 0)
            throw EchecBanc(std::string("fork: ") + std::strerror(errno));
        const auto limite = Horloge::now() + 30s;
        while (!ecoute(portFrontal)) {
            verifierEnMarche();
            if (Horloge::now() > limite)
                throw EchecBanc("HAProxy does not listen after 30 s; its log:\n" + lireFichier(journal));
            usleep(20000);
        }
    }

    ~HaproxyBanc()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }

    Extremite extremite() const { return Extremite(Adresse::loopback(), portFrontal); }

    void verifierEnMarche()
    {
        int statut = 0;
        if (pid <= 0 || waitpid(pid, &statut, WNOHANG) != pid)
            return;
        pid = -1;
        throw EchecBanc("HAProxy ended; its log:\n" + lireFichier(journal));
    }

private:
    static std::string trouverProgramme()
    {
        // Debian puts it in /usr/sbin, which a plain user's PATH may lack.
        QString programme = QStandardPaths::findExecutable(QStringLiteral("haproxy"));
        if (programme.isEmpty())
            programme = QStandardPaths::findExecutable(QStringLiteral("haproxy"), {QStringLiteral("/usr/sbin")});
        if (programme.isEmpty())
            throw EchecBanc("needs haproxy (Debian package haproxy)");
        return texte(programme);
    }

    std::string adapter(const std::string &modele, uint16_t portServeur, uint16_t portSurveillance) const
    {
        const std::regex verification(R"(check port \d+)");
        const std::regex bind(R"(^(\s*bind) \S+(.*)$)");
        const std::regex serveur(R"(^(\s*server qovi)(\d+) \S+(.*)$)");
        const std::regex utilisateur(R"(^\s*(user|group|chroot)\s.*$)");
        std::istringstream lignes(modele);
        std::ostringstream resultat;
        std::string ligne;
        std::smatch trouve;
        while (std::getline(lignes, ligne)) {
            if (geteuid() != 0 && std::regex_match(ligne, utilisateur))
                continue;
            if (std::regex_match(ligne, trouve, serveur)) {
                if (trouve[2] == "1")
                    resultat << trouve[1] << "1 127.0.0.1:" << portServeur
                             << std::regex_replace(trouve[3].str(), verification,
                                                   "check port " + std::to_string(portSurveillance))
                             << "\n";
                continue;
            }
            if (std::regex_match(ligne, trouve, bind))
                ligne = trouve[1].str() + " 127.0.0.1:" + std::to_string(portFrontal) + trouve[2].str();
            resultat << ligne << "\n";
        }
        return resultat.str();
    }

    pid_t pid = -1;
    uint16_t portFrontal = 0;
    std::string journal;
};

// The event loop and the processes it checks on while it waits.
struct Banc
{
    asio::io_context contexte;
    asio::executor_work_guard<asio::io_context::executor_type> travail = asio::make_work_guard(contexte);
    ServeurSousTest *serveur = nullptr;
    HaproxyBanc *haproxy = nullptr;
    Extremite direct;

    void attendre(const std::function<bool()> &fini, int secondes, const std::string &quoi)
    {
        attendreBanc(
            contexte, fini,
            [this] {
                serveur->verifierEnMarche();
                if (haproxy)
                    haproxy->verifierEnMarche();
            },
            secondes, quoi);
    }

    // Runs the loop for a while (the attack's warm-up).
    void laisser(Horloge::duration duree)
    {
        const auto fin = Horloge::now() + duree;
        attendre([fin] { return Horloge::now() >= fin; }, 3600, "the end of a pause");
    }

    void plusTard(asio::steady_timer &minuterie, Horloge::duration delai, std::function<void()> suite)
    {
        minuterie.expires_after(delai);
        minuterie.async_wait([suite = std::move(suite)](const asio::error_code &erreur) {
            if (!erreur)
                suite();
        });
    }
};

// A guesser's i-th key: each a different wrong one, as guesses are.
QString cleFausse(int i)
{
    return QStringLiteral("9%1").arg(i, 19, 10, QLatin1Char('0'));
}

std::string apercu(const QString &reponse) { return "\"" + texte(reponse.left(80)) + "\""; }

// Logins of known accounts, one after another with a pause between them, each
// timed from its first connection to its "m:".
class Identifications
{
public:
    Identifications(Banc &banc, Extremite cible, std::function<QString(int)> compte,
                    std::function<Adresse(int)> source, std::chrono::milliseconds pause)
        : banc(banc), cible(cible), compte(std::move(compte)), source(std::move(source)), pause(pause),
          minuterie(banc.contexte)
    {
    }

    // n logins; returns once they are all in.
    void mesurer(int n, const std::string &quoi)
    {
        voulues = n;
        suivante();
        banc.attendre([this] { return int(latences.size()) == voulues; }, 600,
                      std::to_string(n) + " logins " + quoi + " (" + std::to_string(reprises) + " tries again so far)");
    }

    std::vector<double> latences;
    int reprises = 0;

private:
    void suivante()
    {
        debut = Horloge::now();
        essayer();
    }

    void essayer()
    {
        const int rang = int(latences.size());
        const QString numero = compte(rang);
        connexion = ConnexionBanc::ouvrir(banc.contexte, source(rang), cible);
        ConnexionBanc *c = connexion.get();
        c->surOuverture = [c, numero] { c->envoyer(QStringLiteral("c:") + numero + QLatin1Char(':') + cle); };
        c->surReponse = [this, c, numero](const QString &reponse) {
            c->fermer();
            if (reponse.startsWith(QLatin1String("i:")))
                return encore();
            if (!reponse.startsWith(QLatin1String("m:")))
                throw EchecBanc("the login of " + texte(numero) + " got " + apercu(reponse));
            latences.push_back(ms(Horloge::now() - debut));
            if (int(latences.size()) < voulues)
                banc.plusTard(minuterie, pause, [this] { suivante(); });
        };
        c->surEchec = [this](const std::string &) { encore(); };
    }

    // As the answer asks ("try again in a few seconds"), or as a person whose connection was cut.
    void encore()
    {
        ++reprises;
        banc.plusTard(minuterie, 1s, [this] { essayer(); });
    }

    Banc &banc;
    Extremite cible;
    std::function<QString(int)> compte;
    std::function<Adresse(int)> source;
    std::chrono::milliseconds pause;
    asio::steady_timer minuterie;
    std::shared_ptr<ConnexionBanc> connexion;
    Horloge::time_point debut;
    int voulues = 0;
};

// Wrong keys for one account at a steady rate, each on a new connection from
// source(i), which waits for its answer (at most maxEnAttente at once; past
// that, the guess is not sent).
class Devinettes
{
public:
    Devinettes(Banc &banc, Extremite cible, QString compte, std::function<Adresse(int)> source,
               std::chrono::microseconds periode, int maxEnAttente)
        : banc(banc), cible(cible), compte(std::move(compte)), source(std::move(source)), periode(periode),
          maxEnAttente(maxEnAttente), minuterie(banc.contexte)
    {
    }

    void commencer()
    {
        debut = Horloge::now();
        prochaine = debut;
        tic();
    }

    void arreter()
    {
        minuterie.cancel();
        for (auto &connexion : connexions)
            connexion->fermer();
        connexions.clear();
        banc.contexte.poll();
        secondes = ms(Horloge::now() - debut) / 1000;
    }

    std::string bilan() const
    {
        return std::to_string(envoyees) + " wrong keys in " + formater("%.1f s", secondes) + ": "
               + std::to_string(refusees) + " answered \"a:\", " + std::to_string(occupees) + " \"i:\", "
               + std::to_string(coupees) + " cut off, " + std::to_string(sautees) + " not sent (too many waiting)";
    }

    double duree() const { return secondes; }

private:
    void tic()
    {
        // On the clock, not after each send: a slow loop does not lower the rate.
        while (prochaine <= Horloge::now()) {
            lancer();
            prochaine += periode;
        }
        minuterie.expires_at(prochaine);
        minuterie.async_wait([this](const asio::error_code &erreur) {
            if (!erreur)
                tic();
        });
    }

    void lancer()
    {
        if (enAttente >= maxEnAttente) {
            ++sautees;
            return;
        }
        const QString trame = QStringLiteral("c:") + compte + QLatin1Char(':') + cleFausse(envoyees);
        auto connexion = ConnexionBanc::ouvrir(banc.contexte, source(envoyees++), cible);
        ConnexionBanc *c = connexion.get();
        ++enAttente;
        c->surOuverture = [c, trame] { c->envoyer(trame); };
        c->surReponse = [this, c](const QString &reponse) {
            c->fermer();
            --enAttente;
            if (reponse.startsWith(QLatin1String("a:")))
                ++refusees;
            else if (reponse.startsWith(QLatin1String("i:")))
                ++occupees;
            else
                throw EchecBanc("a wrong key got " + apercu(reponse));
        };
        c->surEchec = [this](const std::string &) {
            --enAttente;
            ++coupees;
        };
        connexions.push_back(connexion);
        if (connexions.size() > 4096) // forget the closed ones
            connexions.erase(std::remove_if(connexions.begin(), connexions.end(),
                                            [](const auto &x) { return x.use_count() == 1; }),
                             connexions.end());
    }

    Banc &banc;
    Extremite cible;
    QString compte;
    std::function<Adresse(int)> source;
    std::chrono::microseconds periode;
    int maxEnAttente;
    asio::steady_timer minuterie;
    Connexions connexions;
    Horloge::time_point debut, prochaine;
    double secondes = 0;
    int envoyees = 0, enAttente = 0, refusees = 0, occupees = 0, coupees = 0, sautees = 0;
};

// Idle connections that send nothing, parAdresse from each of a few
// addresses; each one closed is opened again after a pause.
class Oisives
{
public:
    Oisives(Banc &banc, Extremite cible, int adresses, int parAdresse, Horloge::duration pause)
        : banc(banc), cible(cible), pause(pause)
    {
        for (int a = 0; a < adresses; ++a) {
            for (int i = 0; i < parAdresse; ++i)
                places.push_back(std::make_unique<Place>(banc.contexte, adresseOisive(a)));
        }
    }

    void commencer()
    {
        for (auto &place : places)
            ouvrir(*place);
    }

    void arreter()
    {
        for (auto &place : places) {
            place->minuterie.cancel();
            if (place->connexion)
                place->connexion->fermer();
        }
        banc.contexte.poll();
    }

    int ouvertes = 0, fermees = 0;
    int tenues() const { return ouvertes - fermees; }

private:
    struct Place
    {
        Place(asio::io_context &contexte, Adresse source) : source(source), minuterie(contexte) {}
        Adresse source;
        asio::steady_timer minuterie;
        std::shared_ptr<ConnexionBanc> connexion;
    };

    void ouvrir(Place &place)
    {
        place.connexion = ConnexionBanc::ouvrir(banc.contexte, place.source, cible);
        ++ouvertes;
        place.connexion->surReponse = [](const QString &) {};
        place.connexion->surEchec = [this, &place](const std::string &) {
            ++fermees;
            banc.plusTard(place.minuterie, pause, [this, &place] { ouvrir(place); });
        };
    }

    Banc &banc;
    Extremite cible;
    Horloge::duration pause;
    std::vector<std::unique_ptr<Place>> places;
};

// The two rows of one attack: p50 and p99 against the same logins on the idle service.
void lignes(const std::string &quoi, const std::vector<double> &pendant, const std::vector<double> &auRepos,
            const std::string &detail)
{
    const std::string base = "the same logins on the idle service";
    for (const double p : {0.50, 0.99}) {
        const std::string centileTexte = p < 0.9 ? "p50" : "p99";
        ligneTableau(quoi + ", " + centileTexte + (p < 0.9 ? detail : ""), formater("%.1f ms", centile(pendant, p)),
                     base + ", " + centileTexte, formater("%.1f ms", centile(auRepos, p)),
                     centile(pendant, p) / std::max(centile(auRepos, p), 0.001));
    }
}

// The wrong keys for compte that the server checked (it logs each when it is
// checked, before the delayed answer), in all and per second: what guessing reaches.
std::string verifiees(Banc &banc, const QString &compte, double secondes)
{
    const int n = banc.serveur->lignesAvec({"refused wrong-key from ", " account " + texte(compte) + " "});
    return std::to_string(n) + formater(" wrong keys checked, %.1f/s; ", n / std::max(secondes, 0.001));
}

struct Reglage
{
    int logins;
    Horloge::duration echauffement;
};

// An owner's logins while wrong keys for its account come from its own address.
void mesurerNat(Banc &banc, const Reglage &reglage, Extremite cible, Compte proprietaire, int parSeconde,
                std::chrono::milliseconds pause, const std::string &chemin)
{
    const Adresse adresseNat = adresseProprietaire(proprietaire);
    const auto compte = [proprietaire](int) { return numeroCompte(proprietaire); };
    const auto source = [adresseNat](int) { return adresseNat; };
    Identifications auRepos(banc, cible, compte, source, pause);
    auRepos.mesurer(reglage.logins, "of the owner on the idle service " + chemin);
    Devinettes devinettes(banc, cible, numeroCompte(proprietaire), source, std::chrono::microseconds(1000000 / parSeconde),
                          200);
    devinettes.commencer();
    banc.laisser(reglage.echauffement);
    Identifications pendant(banc, cible, compte, source, pause);
    pendant.mesurer(reglage.logins, "of the owner during wrong keys from its address " + chemin);
    devinettes.arreter();
    fprintf(stderr, "  %s: %s; owner tried again %d times\n", chemin.c_str(), devinettes.bilan().c_str(),
            pendant.reprises);
    lignes("an owner's login (connection to \"m:\"; " + std::to_string(reglage.logins) + ", one a second) while "
               + std::to_string(parSeconde) + " wrong keys/s for its account come from its own address, " + chemin,
           pendant.latences, auRepos.latences,
           " (" + verifiees(banc, numeroCompte(proprietaire), devinettes.duree())
               + std::to_string(pendant.reprises) + " tries again after \"i:\")");
}

// Logins of other accounts, each from its own address, while wrong keys for
// one account come from 600 addresses.
void mesurerDeluge(Banc &banc, const Reglage &reglage)
{
    const auto compte = [](int i) { return numeroCompte(Autres + i % nombreAutres); };
    const auto source = [](int i) { return adresseAutre(i % nombreAutres); };
    Identifications auRepos(banc, banc.direct, compte, source, 100ms);
    auRepos.mesurer(reglage.logins, "of other accounts on the idle server");
    constexpr int parSeconde = 120;
    Devinettes devinettes(banc, banc.direct, numeroCompte(Victime), [](int i) { return adresseDevin(i % 600); },
                          std::chrono::microseconds(1000000 / parSeconde), 400);
    devinettes.commencer();
    banc.laisser(reglage.echauffement);
    Identifications pendant(banc, banc.direct, compte, source, 100ms);
    pendant.mesurer(reglage.logins, "of other accounts during a guess flood");
    devinettes.arreter();
    fprintf(stderr, "  guess flood: %s; others tried again %d times\n", devinettes.bilan().c_str(), pendant.reprises);
    lignes("another account's login (" + std::to_string(reglage.logins) + ", one every 100 ms, each from its own address) while "
               + std::to_string(parSeconde) + " wrong keys/s for one account come from 600 addresses, direct",
           pendant.latences, auRepos.latences,
           " (" + verifiees(banc, numeroCompte(Victime), devinettes.duree())
               + std::to_string(pendant.reprises) + " tries again after \"i:\")");
}

// An owner's logins behind HAProxy while a few addresses hold idle connections.
void mesurerOisives(Banc &banc, const Reglage &reglage, int adresses)
{
    const Extremite cible = banc.haproxy->extremite();
    const auto compte = [](int) { return numeroCompte(ProprietaireOisives); };
    const auto source = [](int) { return adresseProprietaire(ProprietaireOisives); };
    Identifications auRepos(banc, cible, compte, source, 1s);
    auRepos.mesurer(reglage.logins, "of the owner on the idle service behind HAProxy");
    constexpr int parAdresse = 256;
    Oisives oisives(banc, cible, adresses, parAdresse, 1s);
    oisives.commencer();
    banc.laisser(reglage.echauffement);
    Identifications pendant(banc, cible, compte, source, 1s);
    pendant.mesurer(reglage.logins, "of the owner during an idle-connection flood behind HAProxy");
    const int tenues = oisives.tenues();
    oisives.arreter();
    fprintf(stderr, "  idle flood: %d connections opened, %d closed by HAProxy, %d held at the end; owner tried again %d times\n",
            oisives.ouvertes, oisives.fermees, tenues, pendant.reprises);
    lignes("an owner's login (" + std::to_string(reglage.logins) + ", one a second) while " + std::to_string(adresses)
               + " addresses each keep " + std::to_string(parAdresse) + " idle connections open, behind HAProxy",
           pendant.latences, auRepos.latences,
           " (" + std::to_string(oisives.ouvertes) + " idle connections opened, " + std::to_string(oisives.fermees)
               + " closed by HAProxy; " + std::to_string(pendant.reprises) + " tries again)");
}

void preparerComptes(const QString &base)
{
    Banque banque;
    if (!banque.ouvrir(base))
        throw EchecBanc(texte(banque.erreur()));
    qint64 solde = 0;
    for (int i = 0; i < Autres + nombreAutres; ++i) {
        if (banque.identifier(numeroCompte(i), cle, &solde) != Banque::Issue::Cree)
            throw EchecBanc("cannot create the accounts: " + texte(banque.erreur()));
    }
}

// Each connection takes a descriptor here, and HAProxy (which inherits the limit) two.
void leverLimiteDescripteurs()
{
    rlimit limite{};
    getrlimit(RLIMIT_NOFILE, &limite);
    limite.rlim_cur = limite.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limite);
}

int executer(const QStringList &arguments)
{
    const std::string programme = texte(arguments.at(1));
    const std::string modele = texte(arguments.at(2));
    const bool rapide = qEnvironmentVariableIntValue("QOVI_BENCH_QUICK") == 1;
    const Reglage reglage{rapide ? 5 : 30, rapide ? 1s : 5s};
    leverLimiteDescripteurs();

    QTemporaryDir dossier(QDir::current().filePath(QStringLiteral("attaques-XXXXXX")));
    const QString base = dossier.filePath(QStringLiteral("bank.sqlite"));
    preparerComptes(base);
    // HAProxy connects from 127.0.0.1; direct clients come from other addresses of 127.0.0.0/8.
    // HAProxy asks the server's endpoint for operators whether it can serve.
    asio::io_context choixPort;
    const uint16_t portSurveillance = portLibre(choixPort);
    ServeurSousTest serveur(programme,
                            {"--port", "0", "--database", texte(base), "--idle-timeout", "120", "--proxy-from",
                             "127.0.0.1", "--monitor-port", std::to_string(portSurveillance)},
                            texte(dossier.filePath("server.log")));
    Banc banc;
    banc.serveur = &serveur;
    banc.direct = Extremite(Adresse::loopback(), serveur.port());
    try {
        HaproxyBanc haproxy(banc.contexte, modele, serveur.port(), portSurveillance, texte(dossier.path()));
        banc.haproxy = &haproxy;
        mesurerNat(banc, reglage, banc.direct, ProprietaireLent, 3, 1000ms, "direct");
        // Faster than the owner's address may have its keys checked: in full mode only,
        // as its owner may take a minute (which is the figure).
        if (!rapide)
            mesurerNat(banc, reglage, banc.direct, ProprietaireRapide, 20, 1000ms, "direct");
        // Behind HAProxy one address may open 60 connections in 10 s: the
        // guesser stays under it, or the owner's address is cut off with it.
        mesurerNat(banc, reglage, haproxy.extremite(), ProprietaireProxy, 3, 1000ms, "behind HAProxy");
        mesurerDeluge(banc, reglage);
        mesurerOisives(banc, reglage, rapide ? 10 : 40);
        banc.haproxy = nullptr;
    } catch (const EchecBanc &echec) {
        throw EchecBanc(std::string(echec.what()) + "\nthe server's log ends with:\n" + serveur.finJournal());
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    return lancerBanc(argc, argv, "SERVER HAPROXY_CONFIGURATION", 3, executer);
}
