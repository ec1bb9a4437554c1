#include "server/banque/reprise.h"

#include "server/banque/banque.h"
#include "server/banque/sqlite.h"

#include <QAtomicInt>

#include <asio/post.hpp>

namespace {

constexpr int premierDelaiMs = 250;
constexpr int dernierDelaiMs = 5000;
// SQLite says nothing when its file is moved away: it is looked at this often.
constexpr int surveillanceMs = 1000;

// What the probe needs to open a connection of its own in its thread.
struct Parametres
{
    QString hote;
    int port;
    QString utilisateur;
    QString motDePasse;
    QString nom;
    QString options;
};

Parametres parametres(const QSqlDatabase &base)
{
    return Parametres{base.hostName(), base.port(),         base.userName(),
                      base.password(), base.databaseName(), base.connectOptions()};
}

// libpq's shortest time-out: the thread is joined when the server stops.
bool postgresRepond(const Parametres &parametres)
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

} // namespace

Reprise::Reprise(asio::io_context &contexte, Banque &banque)
    : contexte(contexte)
    , banque(banque)
    , attente(contexte, [this] { essayer(); })
    , surveillance(contexte, [this] { surveillerFichier(); })
    , jeton(std::make_shared<Reprise *>(this))
{
    banque.quandPerdue([this] { perdue(); });
    if (!banque.estPostgres())
        surveillance.demarrer(surveillanceMs);
}

Reprise::~Reprise()
{
    banque.quandPerdue({});
    jeton.reset();
    if (sonde.joinable())
        sonde.join();
}

// Called within the request that found it: the first attempt waits for the loop.
void Reprise::perdue()
{
    delaiMs = 0;
    attente.demarrer(0);
}

void Reprise::essayer()
{
    if (banque.estPostgres())
        sonder();
    else
        rouvrir();
}

void Reprise::sonder()
{
    if (sonde.joinable())
        sonde.join();
    sonde = std::thread([&boucle = contexte, temoin = std::weak_ptr<Reprise *>(jeton),
                         quoi = parametres(banque.connexion())] {
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
        attente.demarrer(delaiMs = qBound(premierDelaiMs, delaiMs * 2, dernierDelaiMs));
}

void Reprise::rouvrir()
{
    if (!banque.estPerdue() || banque.rouvrir())
        return;
    attente.demarrer(delaiMs = qBound(premierDelaiMs, delaiMs * 2, dernierDelaiMs));
}

void Reprise::surveillerFichier()
{
    if (!banque.estPerdue() && fichierDeplace(banque.connexion()))
        banque.signalerPerte(QStringLiteral("%1 was moved, removed or replaced").arg(banque.connexion().databaseName()));
    surveillance.demarrer(surveillanceMs);
}
