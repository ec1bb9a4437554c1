#include "server/banque/reprise.h"

#include "server/banque/banque.h"

#include <QAtomicInt>
#include <QSqlDriver>

#include <sqlite3.h>

#include <cstdio>

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

sqlite3 *poigneeSqlite(const QSqlDatabase &base)
{
    if (!base.isValid() || !base.driver())
        return nullptr;
    const QVariant poignee = base.driver()->handle();
    if (!poignee.isValid() || qstrcmp(poignee.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(poignee.constData());
}

QtMessageHandler gestionnairePrecedent = nullptr;

void filtrerLiberation(QtMsgType genre, const QMessageLogContext &contexte, const QString &message)
{
    if (message.startsWith(QLatin1String("Unable to free statement")))
        return;
    if (gestionnairePrecedent)
        gestionnairePrecedent(genre, contexte, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(genre, contexte, message)));
}

} // namespace

SilenceLiberation::SilenceLiberation()
{
    gestionnairePrecedent = qInstallMessageHandler(filtrerLiberation);
}

SilenceLiberation::~SilenceLiberation()
{
    qInstallMessageHandler(gestionnairePrecedent);
    gestionnairePrecedent = nullptr;
}

bool connexionPerdue(const QSqlError &erreur, const QSqlDatabase &base)
{
    const QString code = erreur.nativeErrorCode();
    if (base.driverName() == QLatin1String("QPSQL")) {
        if (!base.isOpen() || code.isEmpty())
            return true;
        // connection_exception; admin_shutdown, crash_shutdown, cannot_connect_now
        return code.startsWith(QLatin1String("08")) || code == QLatin1String("57P01")
               || code == QLatin1String("57P02") || code == QLatin1String("57P03");
    }
    const int numero = code.toInt();
    if (numero == SQLITE_READONLY_DBMOVED)
        return true;
    switch (numero & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
        return true;
    default:
        return !base.isOpen();
    }
}

bool fichierDeplace(const QSqlDatabase &base)
{
    sqlite3 *connexion = poigneeSqlite(base);
    int deplace = 0;
    if (!connexion || sqlite3_file_control(connexion, "main", SQLITE_FCNTL_HAS_MOVED, &deplace) != SQLITE_OK)
        return false;
    return deplace != 0;
}

QString avisVirementEchoue(const Banque &banque)
{
    if (banque.validationIncertaine())
        return QStringLiteral("i:The server lost its database while recording this transfer and cannot tell whether "
                              "it was made, please check your balance before sending it again");
    if (banque.ecritureRefusee())
        return QStringLiteral("i:The server cannot record transfers for now, please try again later");
    return QStringLiteral("i:The transfer could not be recorded, please try again later");
}

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
