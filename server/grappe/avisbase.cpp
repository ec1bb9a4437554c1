#include "server/grappe/avisbase.h"

#include "server/reseau/sentinelle.h"

#include <QDebug>

#include <libpq-fe.h>

#include <vector>

namespace {

constexpr int attenteMinMs = 250;
constexpr int attenteMaxMs = 5000;
constexpr int delaiConnexionMs = 3000;

QByteArray messageErreur(PGconn *connexion)
{
    return connexion ? QByteArray(PQerrorMessage(connexion)).simplified() : QByteArray("out of memory");
}

void lireLignes(const PGresult *resultat, QVector<QVector<QByteArray>> *lignes)
{
    lignes->clear();
    for (int ligne = 0; ligne < PQntuples(resultat); ++ligne) {
        QVector<QByteArray> champs;
        for (int champ = 0; champ < PQnfields(resultat); ++champ)
            champs.append(QByteArray(PQgetvalue(resultat, ligne, champ), PQgetlength(resultat, ligne, champ)));
        lignes->append(champs);
    }
}

} // namespace

AvisBase::AvisBase(asio::io_context &contexte, const QByteArray &conninfo, const char *canal)
    : contexte(contexte)
    , conninfo(conninfo)
    , instructionEcoute(QByteArray("LISTEN ") + canal)
    , descripteur(contexte)
    , reprise(contexte, [this] { reconnecter(); })
    , delaiConnexion(contexte, [this] { perdre("the connection timed out"); })
    , attenteMs(attenteMinMs)
    , jeton(std::make_shared<AvisBase *>(this))
{
}

AvisBase::~AvisBase()
{
    jeton.reset();
    lacherDescripteur();
    if (connexion)
        PQfinish(connexion);
}

void AvisBase::demarrer()
{
    connecterMaintenant();
}

// At start-up the database has just answered the bank: waiting for it here
// means that the server listens only once it hears the others.
void AvisBase::connecterMaintenant()
{
    connexion = PQconnectdb(conninfo.constData());
    if (PQstatus(connexion) != CONNECTION_OK) {
        perdre(messageErreur(connexion));
        return;
    }
    connectee();
}

// Later, without stopping the loop: the database may be far or gone.
void AvisBase::reconnecter()
{
    connexion = PQconnectStart(conninfo.constData());
    if (!connexion || PQstatus(connexion) == CONNECTION_BAD) {
        perdre(messageErreur(connexion));
        return;
    }
    delaiConnexion.demarrer(delaiConnexionMs);
    sonder(PGRES_POLLING_WRITING);
}

void AvisBase::sonder(int etat)
{
    switch (etat) {
    case PGRES_POLLING_OK:
        delaiConnexion.arreter();
        connectee();
        return;
    case PGRES_POLLING_READING:
    case PGRES_POLLING_WRITING:
        // The socket may change while libpq tries the addresses one by one.
        if (!suivreDescripteur()) {
            perdre(messageErreur(connexion));
            return;
        }
        attendre(etat == PGRES_POLLING_READING);
        return;
    default:
        perdre(messageErreur(connexion));
        return;
    }
}

bool AvisBase::suivreDescripteur()
{
    const int socket = PQsocket(connexion);
    if (socket < 0)
        return false;
    if (descripteur.is_open() && descripteur.native_handle() == socket)
        return true;
    lacherDescripteur();
    asio::error_code erreur;
    descripteur.assign(socket, erreur);
    if (erreur)
        return false;
    surveillerPrise(socket);
    return true;
}

void AvisBase::lacherDescripteur()
{
    if (!descripteur.is_open())
        return;
    oublierPrise(descripteur.native_handle());
    descripteur.release();
}

void AvisBase::attendre(bool lecture)
{
    const std::weak_ptr<AvisBase *> garde = jeton;
    const auto genre = lecture ? asio::posix::stream_descriptor::wait_read : asio::posix::stream_descriptor::wait_write;
    descripteur.async_wait(genre, [garde](const asio::error_code &erreur) {
        const auto vivant = garde.lock();
        if (!vivant || erreur)
            return;
        AvisBase *avis = *vivant;
        if (!avis->connexion)
            return;
        if (avis->ecoute)
            avis->lire();
        else
            avis->sonder(PQconnectPoll(avis->connexion));
    });
}

void AvisBase::connectee()
{
    if (!suivreDescripteur()) {
        perdre(messageErreur(connexion));
        return;
    }
    PGresult *resultat = PQexec(connexion, instructionEcoute.constData());
    const bool fait = PQresultStatus(resultat) == PGRES_COMMAND_OK;
    PQclear(resultat);
    if (!fait) {
        perdre(messageErreur(connexion));
        return;
    }
    ecoute = true;
    attenteMs = attenteMinMs;
    if (perdue)
        qInfo("database notifications are back");
    perdue = false;
    attendre(true);
    if (surConnexion)
        surConnexion();
}

void AvisBase::lire()
{
    if (!PQconsumeInput(connexion)) {
        perdre(messageErreur(connexion));
        return;
    }
    distribuer();
    if (PQstatus(connexion) != CONNECTION_OK) {
        perdre(messageErreur(connexion));
        return;
    }
    attendre(true);
}

void AvisBase::distribuer()
{
    while (PGnotify *avis = PQnotifies(connexion)) {
        const QByteArray charge(avis->extra);
        PQfreemem(avis);
        if (surAvis)
            surAvis(charge);
        // surAvis may have lost the connection.
        if (!connexion)
            return;
    }
}

int AvisBase::executer(const char *sql, const QVector<QByteArray> &valeurs, QVector<QVector<QByteArray>> *lignes)
{
    if (!ecoute)
        return -1;
    std::vector<const char *> parametres;
    parametres.reserve(size_t(valeurs.size()));
    for (const QByteArray &valeur : valeurs)
        parametres.push_back(valeur.constData());
    PGresult *resultat = PQexecParams(connexion, sql, int(parametres.size()), nullptr, parametres.data(), nullptr,
                                      nullptr, 0);
    int nombre = -1;
    switch (PQresultStatus(resultat)) {
    case PGRES_TUPLES_OK:
        nombre = PQntuples(resultat);
        if (lignes)
            lireLignes(resultat, lignes);
        break;
    case PGRES_COMMAND_OK:
        nombre = QByteArray(PQcmdTuples(resultat)).toInt();
        break;
    default:
        qWarning().noquote() << "database presence statement failed:" << messageErreur(connexion);
        break;
    }
    PQclear(resultat);
    if (PQstatus(connexion) != CONNECTION_OK) {
        perdre(messageErreur(connexion));
        return -1;
    }
    distribuer();
    return connexion ? nombre : -1;
}

void AvisBase::perdre(const QByteArray &raison)
{
    if (!perdue)
        qWarning().noquote() << "database notifications lost, connecting again:" << raison;
    perdue = true;
    ecoute = false;
    delaiConnexion.arreter();
    lacherDescripteur();
    if (connexion)
        PQfinish(connexion);
    connexion = nullptr;
    reprise.demarrer(attenteMs);
    attenteMs = qMin(attenteMs * 2, attenteMaxMs);
}
