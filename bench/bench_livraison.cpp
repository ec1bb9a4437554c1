// How long a received transfer takes to reach its recipient when the recipient
// is connected to another server on the same PostgreSQL database, against the
// same when it is connected to the sender's server, in the same run.
//
//   bench_livraison SERVER POSTGRESQL_URL [TRANSFERS]   (default: 1000 of each kind)
//   QOVI_BENCH_QUICK=1: 100 of each kind.
//
// Two real servers share a fresh database made in the cluster that the URL names
// (its role must be allowed to create databases). One sender and one recipient
// are connected to server 1, another recipient to server 2. The sender sends
// transfers of 1 one at a time, alternately to each recipient, and waits for both
// its "s:" and the recipient's "r:" before the next. What a client can see is
// timed: from the sender's "s:" (the commit is done) to the recipient's "r:",
// and from the request to the "r:". A transfer to the other server answered
// "e:", or an "r:" that never comes, ends the run with a message and status 1.

#include "connexionbanc.h"
#include "serveursoustest.h"
#include "tableau.h"

#include "server/banque/banque.h"

#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

namespace {


const QString cle = QStringLiteral("12345678901234567890");
const QString expediteur = QStringLiteral("5E0000000001");
const QString voisin = QStringLiteral("5E0000000002");   // on the sender's server
const QString lointain = QStringLiteral("5E0000000003"); // on the other server

std::string texte(const QString &q) { return q.toStdString(); }

// Runs one maintenance statement on the cluster's own database.
void maintenance(const QString &url, const QString &sql)
{
    const QString nom = QStringLiteral("maintenance");
    {
        QString erreur;
        QSqlDatabase base = connexionBase(url, nom, &erreur);
        if (!base.open())
            throw EchecBanc("cannot reach PostgreSQL at the given URL: " + texte(erreur));
        QSqlQuery requete(base);
        if (!requete.exec(sql))
            throw EchecBanc("PostgreSQL refused \"" + texte(sql) + "\"");
    }
    QSqlDatabase::removeDatabase(nom);
}

// A database of its own for the run, dropped at its end.
class BaseDuBanc
{
public:
    explicit BaseDuBanc(const QString &grappe) : grappe(grappe)
    {
        nom = QStringLiteral("qovi_bench_%1").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
        maintenance(grappe, QStringLiteral("CREATE DATABASE %1").arg(nom));
        QUrl adresse(grappe);
        adresse.setPath(QLatin1Char('/') + nom);
        url = adresse.toString();
    }
    ~BaseDuBanc()
    {
        try {
            maintenance(grappe, QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(nom));
        } catch (const EchecBanc &echec) {
            fprintf(stderr, "  could not drop %s: %s\n", texte(nom).c_str(), echec.what());
        }
    }
    QString url;

private:
    QString grappe;
    QString nom;
};

void preparerComptes(const QString &url)
{
    Banque banque;
    if (!banque.ouvrir(url))
        throw EchecBanc("cannot open the database: " + texte(banque.erreur()));
    qint64 solde = 0;
    for (const QString &compte : {expediteur, voisin, lointain}) {
        if (banque.identifier(compte, cle, &solde) != Banque::Issue::Cree)
            throw EchecBanc("cannot create the accounts: " + texte(banque.erreur()));
    }
    if (banque.crediter(expediteur, 1000000000, &solde) != Banque::Issue::Fait)
        throw EchecBanc("cannot credit the sender: " + texte(banque.erreur()));
}

struct Banc
{
    asio::io_context contexte;
    std::vector<ServeurSousTest *> serveurs;

    void attendre(const std::function<bool()> &fini, int secondes, const std::string &quoi)
    {
        const auto limite = Horloge::now() + std::chrono::seconds(secondes);
        while (!fini()) {
            if (Horloge::now() > limite)
                throw EchecBanc("timed out after " + std::to_string(secondes) + " s waiting for " + quoi);
            for (ServeurSousTest *serveur : serveurs)
                serveur->verifierEnMarche();
            contexte.run_one_for(std::chrono::milliseconds(20));
        }
    }

    std::shared_ptr<ConnexionBanc> connecter(ServeurSousTest &serveur, const QString &compte)
    {
        const asio::ip::tcp::endpoint adresse(asio::ip::address_v4::loopback(), serveur.port());
        auto connexion = ConnexionBanc::ouvrir(contexte, asio::ip::address_v4::loopback(), adresse);
        ConnexionBanc *c = connexion.get();
        std::optional<QString> accueil;
        c->surOuverture = [c, compte] { c->envoyer(QStringLiteral("c:") + compte + QLatin1Char(':') + cle); };
        c->surReponse = [&accueil](const QString &reponse) { accueil = reponse; };
        attendre([&] { return accueil.has_value(); }, 60, "the login of " + texte(compte));
        if (!accueil->startsWith(QLatin1String("m:")))
            throw EchecBanc("the login of " + texte(compte) + " got \"" + texte(*accueil) + "\"");
        c->surReponse = nullptr;
        return connexion;
    }
};

struct Delais
{
    std::vector<double> depuisConfirmation; // sender's "s:" to recipient's "r:"
    std::vector<double> depuisDemande;      // request to recipient's "r:"
};

// One transfer of 1 to destinataire (connected by recepteur): both times once
// the "s:" and the "r:" are in.
void virement(Banc &banc, ConnexionBanc &envoi, ConnexionBanc &recepteur, const QString &destinataire,
              const char *ou, Delais &delais)
{
    std::optional<Horloge::time_point> confirme, recu;
    envoi.surReponse = [&](const QString &reponse) {
        if (reponse != QStringLiteral("s:%1:1").arg(destinataire))
            throw EchecBanc("a transfer to the recipient on " + std::string(ou) + " got \"" + texte(reponse) + "\""
                            + (reponse.startsWith(QLatin1String("e:"))
                                   ? " (\"is not connected\": this server does not see the other server's clients)"
                                   : ""));
        confirme = Horloge::now();
    };
    recepteur.surReponse = [&](const QString &reponse) {
        if (reponse != QStringLiteral("r:1:%1").arg(expediteur))
            throw EchecBanc("the recipient on " + std::string(ou) + " got \"" + texte(reponse) + "\"");
        recu = Horloge::now();
    };
    const auto demande = Horloge::now();
    envoi.envoyer(QStringLiteral("v:%1:%2:1:%3").arg(expediteur, destinataire, cle));
    banc.attendre([&] { return confirme.has_value(); }, 30, "the \"s:\" of a transfer to " + std::string(ou));
    try {
        banc.attendre([&] { return recu.has_value(); }, 10, "the recipient's \"r:\"");
    } catch (const EchecBanc &) {
        throw EchecBanc("the recipient on " + std::string(ou) + " never got its \"r:\" (10 s after the sender's \"s:\")");
    }
    delais.depuisConfirmation.push_back(ms(*recu - *confirme));
    delais.depuisDemande.push_back(ms(*recu - demande));
    envoi.surReponse = nullptr;
    recepteur.surReponse = nullptr;
}

void ligneDelai(const std::string &quoi, const char *centileNom, double p, const Delais &loin, const Delais &pres,
                std::vector<double> Delais::*serie)
{
    const double valeur = centile(loin.*serie, p);
    const double base = centile(pres.*serie, p);
    const std::string figure = quoi + ", recipient on another server, " + centileNom;
    const std::string baseNom = "the same, recipient on the sender's server, " + std::string(centileNom);
    // Beside a baseline close to zero (the same server sends both at once), a
    // ratio says nothing: the difference does.
    if (base < 0.05) {
        std::printf("| %s | %.2f ms | %s | %.3f ms | %+.2f ms |\n", figure.c_str(), valeur, baseNom.c_str(), base,
                    valeur - base);
        return;
    }
    ligneTableau(figure, formater("%.2f ms", valeur), baseNom, formater("%.2f ms", base), valeur / base);
}

int executer(const QStringList &arguments)
{
    const std::string programme = texte(arguments.at(1));
    const bool rapide = qEnvironmentVariableIntValue("QOVI_BENCH_QUICK") == 1;
    const int n = arguments.size() > 3 ? std::max(1, arguments.at(3).toInt()) : (rapide ? 100 : 1000);

    BaseDuBanc base(arguments.at(2));
    preparerComptes(base.url);
    QTemporaryDir dossier(QDir::current().filePath(QStringLiteral("livraison-XXXXXX")));
    const std::vector<std::string> options{"--port", "0", "--database", texte(base.url), "--idle-timeout", "3600"};
    ServeurSousTest premier(programme, options, texte(dossier.filePath(QStringLiteral("server1.log"))));
    ServeurSousTest second(programme, options, texte(dossier.filePath(QStringLiteral("server2.log"))));
    Banc banc;
    banc.serveurs = {&premier, &second};
    Delais pres, loin;
    try {
        auto envoi = banc.connecter(premier, expediteur);
        auto recepteurVoisin = banc.connecter(premier, voisin);
        auto recepteurLointain = banc.connecter(second, lointain);
        // Alternately, so that both kinds see the same state of the machine.
        for (int i = 0; i < n; ++i) {
            virement(banc, *envoi, *recepteurVoisin, voisin, "the sender's server", pres);
            virement(banc, *envoi, *recepteurLointain, lointain, "another server", loin);
        }
        for (auto *connexion : {envoi.get(), recepteurVoisin.get(), recepteurLointain.get()})
            connexion->fermer();
        banc.contexte.poll();
    } catch (const EchecBanc &echec) {
        throw EchecBanc(std::string(echec.what()) + "\nserver 1's log ends with:\n" + premier.finJournal()
                        + "server 2's log ends with:\n" + second.finJournal());
    }

    fprintf(stderr,
            "  %d transfers of each kind; \"s:\" to \"r:\" p50/p99: other server %.3f/%.3f ms, same server "
            "%.3f/%.3f ms; request to \"r:\": other %.3f/%.3f ms, same %.3f/%.3f ms\n",
            n, centile(loin.depuisConfirmation, 0.5), centile(loin.depuisConfirmation, 0.99),
            centile(pres.depuisConfirmation, 0.5), centile(pres.depuisConfirmation, 0.99),
            centile(loin.depuisDemande, 0.5), centile(loin.depuisDemande, 0.99), centile(pres.depuisDemande, 0.5),
            centile(pres.depuisDemande, 0.99));
    const std::string confirmation = "time from the sender's \"s:\" to the recipient's \"r:\" (PostgreSQL, "
                                     + std::to_string(n) + " transfers)";
    const std::string demande = "time from the transfer request to the recipient's \"r:\" (PostgreSQL)";
    ligneDelai(confirmation, "p50", 0.5, loin, pres, &Delais::depuisConfirmation);
    ligneDelai(confirmation, "p99", 0.99, loin, pres, &Delais::depuisConfirmation);
    ligneDelai(demande, "p50", 0.5, loin, pres, &Delais::depuisDemande);
    ligneDelai(demande, "p99", 0.99, loin, pres, &Delais::depuisDemande);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    return lancerBanc(argc, argv, "SERVER POSTGRESQL_URL [TRANSFERS]", 3, executer);
}
