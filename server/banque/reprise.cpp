#include "server/banque/reprise.h"

#include "server/banque/banque.h"
#include "server/banque/guichet.h"
#include "server/banque/sqlite.h"

#include <QAtomicInt>

#include <asio/post.hpp>

namespace {

constexpr int premierDelaiMs = 250;
constexpr int dernierDelaiMs = 5000;
// SQLite says nothing when its file is moved away: it is looked at this often.
constexpr int surveillanceMs = 1000;

} // namespace

Reprise::Reprise(asio::io_context &contexte, Guichet &guichet, Banque &banque)
    : contexte(contexte)
    , guichet(guichet)
    , banque(banque)
    , postgres(banque.estPostgres())
    , parametres(lireParametres(banque.connexion()))
    , fichier(banque.connexion().databaseName())
    , attente(contexte, [this] { essayer(); })
    , surveillance(contexte, [this] { surveillerFichier(); })
    , jeton(std::make_shared<Reprise *>(this))
{
    // Found on the bank's thread, handled on the loop.
    banque.quandPerdue([&boucle = contexte, temoin = std::weak_ptr<Reprise *>(jeton)] {
        asio::post(boucle, [temoin] {
            if (const auto vivante = temoin.lock())
                (*vivante)->perdue();
        });
    });
    if (!postgres)
        surveillance.demarrer(surveillanceMs);
}

Reprise::~Reprise()
{
    banque.quandPerdue({});
    jeton.reset();
    if (sonde.joinable())
        sonde.join();
}

Reprise::Parametres Reprise::lireParametres(const QSqlDatabase &base)
{
    return Parametres{base.hostName(), base.port(),         base.userName(),
                      base.password(), base.databaseName(), base.connectOptions()};
}

// libpq's shortest time-out: the thread is joined when the server stops.
bool Reprise::postgresRepond(const Parametres &parametres)
{
    static QAtomicInt compteur;
    const QString nom = QStringLiteral("qovi-sonde-%1").arg(compteur.fetchAndAddRelaxed(1));
    bool repond = false;
    {
        QSqlDatabase sonde = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), nom);
        sonde.setHostName(parametres.hote);
        sonde.setPort(parametres.port);
        sonde.setUserName(parametres.utilisateur);
        sonde.setPassword(parametres.motDePasse);
        sonde.setDatabaseName(parametres.nom);
        sonde.setConnectOptions(parametres.options + QStringLiteral(";connect_timeout=2"));
        repond = sonde.open();
        sonde.close();
    }
    QSqlDatabase::removeDatabase(nom);
    return repond;
}

void Reprise::perdue()
{
    delaiMs = 0;
    attente.demarrer(0);
}

void Reprise::essayer()
{
    if (postgres)
        sonder();
    else
        rouvrir();
}

void Reprise::sonder()
{
    if (sonde.joinable())
        sonde.join();
    sonde = std::thread([&boucle = contexte, temoin = std::weak_ptr<Reprise *>(jeton), quoi = parametres] {
        const bool repond = postgresRepond(quoi);
        asio::post(boucle, [temoin, repond] {
            if (const auto vivante = temoin.lock())
                (*vivante)->sondee(repond);
        });
    });
}

void Reprise::sondee(bool repond)
{
    if (repond)
        rouvrir();
    else
        reessayer();
}

void Reprise::rouvrir()
{
    guichet.confier([](Banque &banque) { return !banque.estPerdue() || banque.rouvrir(); },
                    [this](bool ouverte) {
                        if (!ouverte)
                            reessayer();
                    });
}

void Reprise::reessayer()
{
    attente.demarrer(delaiMs = qBound(premierDelaiMs, delaiMs * 2, dernierDelaiMs));
}

void Reprise::surveillerFichier()
{
    guichet.confier(
        [fichier = fichier](Banque &banque) {
            if (!banque.estPerdue() && fichierDeplace(banque.connexion()))
                banque.signalerPerte(QStringLiteral("%1 was moved, removed or replaced").arg(fichier));
            return true;
        },
        [this](bool) { surveillance.demarrer(surveillanceMs); });
}
