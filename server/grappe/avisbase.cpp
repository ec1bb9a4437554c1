#include "server/grappe/avisbase.h"

#include "server/reseau/sentinelle.h"

#include <QDebug>

#include <asio/post.hpp>

#include <libpq-fe.h>

#include <vector>

#include <poll.h>

namespace {

constexpr int attenteMinMs = 250;
constexpr int attenteMaxMs = 5000;
constexpr int delaiConnexionMs = 3000;

QByteArray messageErreur(PGconn *connexion)
{
    return connexion ? QByteArray(PQerrorMessage(connexion)).simplified() : QByteArray("out of memory");
}

// Worded as the watchdog's line, which says the same of the bank's connection.
QByteArray sansReponse()
{
    return QByteArray("the database did not answer within ") + QByteArray::number(delaiBaseMs) + " ms";
}

// libpq's view of text parameters: valeurs must outlive it.
std::vector<const char *> pointeurs(const QVector<QByteArray> &valeurs)
{
    std::vector<const char *> liste;
    liste.reserve(size_t(valeurs.size()));
    for (const QByteArray &valeur : valeurs)
        liste.push_back(valeur.constData());
    return liste;
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
    , delaiInstruction(contexte, [this] { perdre(sansReponse()); })
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
    attendreReponses();
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
        if (avis->etablie)
            avis->lire();
        else
            avis->sonder(PQconnectPoll(avis->connexion));
    });
}

// LISTEN goes first, through the same queue: nothing else is sent before it.
void AvisBase::connectee()
{
    if (!suivreDescripteur()) {
        perdre(messageErreur(connexion));
        return;
    }
    etablie = true;
    file.push_front(Instruction{instructionEcoute, {}, [this](int nombre, const Lignes &) { ecouter(nombre); }});
    if (envoyerSuivante())
        attendre(true);
}

void AvisBase::ecouter(int nombre)
{
    if (nombre < 0) {
        perdre("LISTEN failed");
        return;
    }
    ecoute = true;
    attenteMs = attenteMinMs;
    if (perdue)
        qInfo("database notifications are back");
    perdue = false;
    if (surConnexion)
        surConnexion();
}

void AvisBase::lire()
{
    if (lireDisponible())
        attendre(true);
}

// False when the connection is lost.
bool AvisBase::lireDisponible()
{
    if (!PQconsumeInput(connexion)) {
        perdre(messageErreur(connexion));
        return false;
    }
    distribuer();
    if (connexion)
        recueillir();
    if (!connexion)
        return false;
    if (PQstatus(connexion) != CONNECTION_OK) {
        perdre(messageErreur(connexion));
        return false;
    }
    return true;
}

// At start-up only: what the first connection sends is answered before the
// server takes clients, so that it hears the others from its first client on.
void AvisBase::attendreReponses()
{
    while (connexion && (enVol || !file.empty())) {
        pollfd attente{PQsocket(connexion), POLLIN, 0};
        if (::poll(&attente, 1, delaiBaseMs) <= 0) {
            perdre(sansReponse());
            return;
        }
        if (!lireDisponible())
            return;
    }
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

void AvisBase::executer(const char *sql, const QVector<QByteArray> &valeurs, Suite suite)
{
    if (!ecoute) {
        echouerPlusTard(std::move(suite));
        return;
    }
    file.push_back(Instruction{QByteArray(sql), valeurs, std::move(suite)});
    envoyerSuivante();
}

// The next statement, once the last one has its result; false when the connection is lost.
bool AvisBase::envoyerSuivante()
{
    if (enVol || file.empty())
        return true;
    const Instruction &suivante = file.front();
    const std::vector<const char *> parametres = pointeurs(suivante.valeurs);
    if (!PQsendQueryParams(connexion, suivante.sql.constData(), int(parametres.size()), nullptr, parametres.data(),
                           nullptr, nullptr, 0)) {
        perdre(messageErreur(connexion));
        return false;
    }
    enVol = true;
    nombreLu = -1;
    lignesLues.clear();
    delaiInstruction.demarrer(delaiBaseMs);
    return true;
}

// The results read so far; each finished statement's suite is called in turn.
void AvisBase::recueillir()
{
    while (connexion && enVol && !PQisBusy(connexion)) {
        if (PGresult *resultat = PQgetResult(connexion)) {
            garder(resultat);
            continue;
        }
        enVol = false;
        delaiInstruction.arreter();
        const Instruction faite = std::move(file.front());
        file.pop_front();
        const Lignes lignes = std::exchange(lignesLues, {});
        faite.suite(nombreLu, lignes);
        // The suite may have lost the connection, or sent more.
        if (connexion && !envoyerSuivante())
            return;
        distribuer();
    }
}

void AvisBase::garder(PGresult *resultat)
{
    switch (PQresultStatus(resultat)) {
    case PGRES_TUPLES_OK:
        nombreLu = PQntuples(resultat);
        lireLignes(resultat, &lignesLues);
        break;
    case PGRES_COMMAND_OK:
        nombreLu = QByteArray(PQcmdTuples(resultat)).toInt();
        break;
    default:
        nombreLu = -1;
        qWarning().noquote() << "database presence statement failed:" << messageErreur(connexion);
        break;
    }
    PQclear(resultat);
}

int AvisBase::executerMaintenant(const char *sql, const QVector<QByteArray> &valeurs)
{
    if (!ecoute)
        return -1;
    // The statement on its way, if any, ends first.
    while (PGresult *reste = PQgetResult(connexion))
        PQclear(reste);
    const std::vector<const char *> parametres = pointeurs(valeurs);
    PGresult *resultat = PQexecParams(connexion, sql, int(parametres.size()), nullptr, parametres.data(), nullptr,
                                      nullptr, 0);
    const int nombre = PQresultStatus(resultat) == PGRES_COMMAND_OK ? QByteArray(PQcmdTuples(resultat)).toInt() : -1;
    PQclear(resultat);
    return nombre;
}

// Whatever waited for an answer gets -1, on the loop.
void AvisBase::echouerEnAttente()
{
    enVol = false;
    delaiInstruction.arreter();
    std::deque<Instruction> echouees;
    echouees.swap(file);
    for (Instruction &instruction : echouees)
        echouerPlusTard(std::move(instruction.suite));
}

// -1 to suite, on the loop and never within the caller's call.
void AvisBase::echouerPlusTard(Suite suite)
{
    asio::post(contexte, [garde = std::weak_ptr<AvisBase *>(jeton), suite = std::move(suite)] {
        if (garde.lock())
            suite(-1, {});
    });
}

void AvisBase::perdre(const QByteArray &raison)
{
    if (!perdue)
        qWarning().noquote() << "database notifications lost, connecting again:" << raison;
    perdue = true;
    ecoute = false;
    etablie = false;
    delaiConnexion.arreter();
    echouerEnAttente();
    lacherDescripteur();
    if (connexion)
        PQfinish(connexion);
    connexion = nullptr;
    reprise.demarrer(attenteMs);
    attenteMs = qMin(attenteMs * 2, attenteMaxMs);
}
