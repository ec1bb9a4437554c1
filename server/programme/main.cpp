#include "server/banque/banque.h"
#include "server/banque/guichet.h"
#include "server/banque/reprise.h"
#include "server/grappe/creationgrappe.h"
#include "server/journal/journal.h"
#include "server/programme/commandes.h"
#include "server/programme/options.h"
#include "server/programme/sortie.h"
#include "server/reseau/descripteurs.h"
#include "server/reseau/sentinelle.h"
#include "server/service/serveur.h"
#include "server/surveillance/sante.h"
#include "server/surveillance/surveillance.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <sysexits.h>

namespace {

// SIGTERM and SIGINT stop the loop; the connections and the database are
// closed on the way out.
void arreterSurSignal(asio::signal_set &signaux, asio::io_context &contexte)
{
    asio::error_code ignoree;
    signaux.add(SIGTERM, ignoree);
    signaux.add(SIGINT, ignoree);
    signaux.async_wait([&contexte](const asio::error_code &erreur, int) {
        if (erreur)
            return;
        qInfo("stopping");
        contexte.stop();
    });
}

// Its address is told as the clients' is, on the next line.
bool surveiller(Surveillance &surveillance, const Options &options)
{
    if (!surveillance.ecouter(options.adresseSurveillance.toString(), options.portSurveillance)) {
        echouer(QStringLiteral("cannot listen for monitoring on %1 port %2: %3")
                    .arg(options.adresseSurveillance.toString())
                    .arg(options.portSurveillance)
                    .arg(surveillance.erreur()),
                EX_OSERR);
        return false;
    }
    const asio::ip::tcp::endpoint extremite = surveillance.extremite();
    const asio::ip::address ip = extremite.address();
    const std::string texte = ip.is_v6() ? '[' + ip.to_string() + ']' : ip.to_string();
    std::printf("monitoring on %s:%u\n", texte.c_str(), unsigned(extremite.port()));
    std::fflush(stdout);
    return true;
}

int servir(const Options &options)
{
    // Every connection is a descriptor: take all the system allows.
    relacherLimiteDescripteurs();
    // A client gone while its reply is written is an error to handle, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    asio::io_context contexte(1);
    Journal journal(contexte);
    // Its connections carry its name: the triggers tell the others what it wrote.
    const QString origine = nouvelleOrigine();
    Options membre = options;
    membre.base = adresseAvecOrigine(options.base, origine);
    // Outlives the bank and the cluster's presence, so that their last
    // statements at a stop are bounded too.
    Sentinelle sentinelle(contexte, delaiBaseMs);
    Banque banque;
    // The connection is opened, as it is used, on the bank's thread.
    Guichet guichet(contexte, banque);
    const int code = guichet.attendre([&membre](Banque &ouverte) {
        const int issue = ouvrirBase(ouverte, membre);
        ouverte.etat().journaliser(true);
        return issue;
    });
    if (code)
        return code;
    Reprise reprise(contexte, guichet, banque);
    const std::unique_ptr<Grappe> grappe = creerGrappe(contexte, membre.base, origine);
    Serveur serveur(contexte, guichet, options.delaiMs, options.limites);
    serveur.limiterCreations(options.creationsParMinute);
    serveur.accepterProxys(options.proxys);
    serveur.rejoindre(*grappe);
    asio::signal_set signaux(contexte);
    arreterSurSignal(signaux, contexte);
    if (!serveur.ecouter(options.adresse, options.port)) {
        return echouer(QStringLiteral("cannot listen on %1 port %2: %3")
                           .arg(options.adresse.toString())
                           .arg(options.port)
                           .arg(serveur.erreur()),
                       EX_OSERR);
    }
    const QString adresse = serveur.adresse().protocol() == QAbstractSocket::IPv6Protocol
                                ? QLatin1Char('[') + serveur.adresse().toString() + QLatin1Char(']')
                                : serveur.adresse().toString();
    std::printf("listening on %s:%u\n", qPrintable(adresse), unsigned(serveur.port()));
    std::fflush(stdout);
    Sante sante(guichet, serveur);
    Surveillance surveillance(contexte, [&sante] { return sante.raisonIndisponible(); });
    if (options.surveiller && !surveiller(surveillance, options))
        return EX_OSERR;
    int sortie = EX_OK;
    try {
        contexte.run();
    } catch (const std::exception &exception) {
        qCritical("stopping on an internal error: %s", exception.what());
        sortie = EX_SOFTWARE;
    }
    // The calls still waiting belong to objects about to go.
    guichet.arreter();
    return sortie;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qovi-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QOVI_VERSION));

    QCommandLineParser ligne;
    declarerOptions(ligne);
    const QStringList marques = marquerNegatifs(QCoreApplication::arguments());
    if (!ligne.parse(marques)) {
        QString erreur = ligne.errorText();
        if (erreur.endsWith(QLatin1Char('.')))
            erreur.chop(1);
        return echouer(erreur + QStringLiteral(" (see --help)"), EX_USAGE);
    }
    // Well formed: what is left to Qt is --help, --help-all and --version.
    ligne.process(marques);

    Options options;
    QString erreur;
    if (!lireOptions(ligne, &options, &erreur))
        return echouer(erreur, EX_USAGE);
    Journal::installer(options.niveauJournal);

    const QStringList arguments = demarquer(ligne.positionalArguments());
    if (arguments.isEmpty())
        return servir(options);
    return commander(options, arguments);
}
