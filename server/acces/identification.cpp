#include "server/acces/identification.h"

#include "server/banque/banque.h"
#include "server/banque/empreinte.h"
#include "server/journal/evenements.h"
#include "server/protocole/avisclient.h"
#include "server/protocole/connexionclient.h"
#include "server/reseau/minuterie.h"

#include <QDebug>
#include <QSemaphore>
#include <QThread>

#include <algorithm>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

namespace {

// Memory for the counters stays bounded whatever the number of sources.
constexpr int maxSourcesSuivies = 65536;
// An existing account's login is never kept waiting behind a new account.
constexpr int prioriteVerification = 1;
constexpr int prioriteCreation = 0;

// Starts every thread of the pool now and keeps them for good: a thread
// started later needs descriptors, which a server at its limit has none of.
void demarrerTousLesFils(QThreadPool &fils)
{
    fils.setExpiryTimeout(-1);
    const int nombre = fils.maxThreadCount();
    QSemaphore partis;
    QSemaphore tousLa;
    for (int i = 0; i < nombre; ++i) {
        fils.start([&] {
            partis.release();
            tousLa.acquire();
        });
    }
    partis.acquire(nombre);
    tousLa.release(nombre);
    fils.waitForDone();
}

} // namespace

Identification::Identification(Banque &banque, asio::io_context &contexte, QObject *parent)
    : QObject(parent)
    , banque(banque)
    , contexte(contexte)
    , echecs(banque)
    , creationsSources(maxSourcesSuivies, 60000 / creationsParMinuteParDefaut)
{
    horloge.start();
    calculs.setMaxThreadCount(QThread::idealThreadCount());
    demarrerTousLesFils(calculs);
}

Identification::~Identification()
{
    // Their results are posted to this object: none may still be running.
    calculs.clear();
    calculs.waitForDone();
}

void Identification::limiterCreations(int parMinute)
{
    creationsParMinute = qMax(1, parMinute);
    creationsSources.changerPeriode(60000 / creationsParMinute);
}

void Identification::demander(ConnexionClient *connexion, const QString &compte, const QString &cle)
{
    connexion->suspendre();
    const QString adresse = connexion->adresseDistante();
    orienter(Demande{connexion, connexion->numero(), compte, cle, adresse, sourceDeAdresse(adresse), QString()});
}

// An existing account's key waits for its turn; a new account is created.
void Identification::orienter(const Demande &demande)
{
    const auto creation = creations.find(demande.compte);
    if (creation != creations.end()) {
        creation->append(demande);
        return;
    }
    Demande aVerifier = demande;
    qint64 solde = 0;
    switch (banque.chercher(demande.compte, &aVerifier.empreinte, &solde)) {
    case Banque::Issue::Fait: {
        QVector<Demande> &file = attentes[demande.paire()].file;
        // Connections that keep coming and going while their turn is far take no room.
        if (file.size() >= 32)
            file.erase(std::remove_if(file.begin(), file.end(), [](const Demande &d) { return !d.connexion; }),
                       file.end());
        file.append(aVerifier);
        avancer(demande.paire());
        return;
    }
    case Banque::Issue::CompteInconnu:
        creer(demande);
        return;
    default:
        echouer(demande);
        return;
    }
}

// Starts checking the keys that wait for paire, as far as its recent wrong keys allow:
// without any, as many at once as there are cores; after some, one at a time,
// each after its delay. The owner, from elsewhere, never waits for the guesser.
void Identification::avancer(const QString &paire)
{
    const auto trouvee = attentes.find(paire);
    if (trouvee == attentes.end())
        return;
    Attente &etat = *trouvee;
    const EchecsCles::Paire recents = echecs.paire(paire);
    const int permis = recents.echecs > 0 ? 1 : calculs.maxThreadCount();
    const qint64 attente = recents.attenteMs;
    while (!etat.file.isEmpty() && etat.enCours < permis) {
        if (attente > 0) {
            if (!etat.reveilPrevu) {
                etat.reveilPrevu = true;
                plusTard(contexte, int(attente), this, [this, paire] {
                    const auto reveillee = attentes.find(paire);
                    if (reveillee != attentes.end())
                        reveillee->reveilPrevu = false;
                    avancer(paire);
                });
            }
            return;
        }
        const Demande demande = etat.file.takeFirst();
        // A connection gone before its turn has nothing to learn.
        if (!demande.connexion)
            continue;
        ++etat.enCours;
        verifier(demande);
    }
    if (etat.file.isEmpty() && etat.enCours == 0 && !etat.reveilPrevu)
        attentes.erase(trouvee);
}

void Identification::verifier(const Demande &demande)
{
    const QString cle = demande.cle;
    const QString empreinte = demande.empreinte;
    calculer([cle, empreinte] { return verifierCle(cle, empreinte); },
             [this, demande](bool juste) { cleVerifiee(demande, juste); }, prioriteVerification);
}

// Runs calcul on a worker thread, then suite with its result on the loop's thread.
template <typename Calcul, typename Suite>
void Identification::calculer(Calcul calcul, Suite suite, int priorite)
{
    asio::io_context &boucle = contexte;
    calculs.start(
        [moi = QPointer<Identification>(this), &boucle, calcul, suite] {
            const auto resultat = calcul();
            asio::post(boucle, [moi, suite, resultat] {
                if (moi)
                    suite(resultat);
            });
        },
        priorite);
}

void Identification::cleVerifiee(const Demande &demande, bool juste)
{
    const auto attente = attentes.find(demande.paire());
    if (attente != attentes.end())
        --attente->enCours;
    if (!juste) {
        refuserCle(demande);
    } else {
        // Read again: money may have come in during the derivation.
        QString empreinte;
        qint64 solde = 0;
        if (banque.chercher(demande.compte, &empreinte, &solde) == Banque::Issue::Fait)
            accepter(demande, QStringLiteral("m:") + QString::number(solde));
        else
            echouer(demande);
    }
    avancer(demande.paire());
}

void Identification::creer(const Demande &demande)
{
    const qint64 instant = maintenant();
    if (creationsSources.nombre(demande.source, instant) >= creationsParMinute) {
        journaliserRefus(demande.numero, "account-creations", demande.adresse, demande.compte,
                         QStringLiteral("too many new accounts"));
        if (demande.connexion)
            demande.connexion->terminer(
                QStringLiteral("i:Too many accounts were created from your address, please try again later"));
        return;
    }
    creationsSources.compter(demande.source, instant);
    creations.insert(demande.compte, {demande});
    const QString cle = demande.cle;
    const QString compte = demande.compte;
    calculer([cle] { return empreinteCle(cle); },
             [this, compte](const QString &empreinte) { empreinteCalculee(compte, empreinte); }, prioriteCreation);
}

void Identification::empreinteCalculee(const QString &compte, const QString &empreinte)
{
    QVector<Demande> concernees = creations.take(compte);
    if (concernees.isEmpty())
        return;
    switch (banque.creer(compte, empreinte)) {
    case Banque::Issue::Cree: {
        const Demande createur = concernees.takeFirst();
        journaliserEvenement(createur.numero, "created", createur.adresse, compte);
        accepter(createur, QLatin1String("n:") + compte);
        const QByteArray cle = createur.cle.toUtf8();
        // The same key is known right; any other is checked against the new record.
        for (const Demande &demande : qAsConst(concernees)) {
            if (egalesEnTempsConstant(demande.cle.toUtf8(), cle))
                accepter(demande, QStringLiteral("m:0"));
            else
                orienter(demande);
        }
        break;
    }
    case Banque::Issue::Fait:
        // Another server created it meanwhile: the keys are checked against its record.
        for (const Demande &demande : qAsConst(concernees))
            orienter(demande);
        break;
    default:
        for (const Demande &demande : qAsConst(concernees))
            echouer(demande);
        break;
    }
}

// Counts even when the connection is gone: closing early must not spare a guess its weight.
void Identification::refuserCle(const Demande &demande)
{
    const EchecsCles::Refus refus = echecs.compter(demande.compte, demande.source, demande.paire());
    journaliserRefus(demande.numero, "wrong-key", demande.adresse, demande.compte,
                     QStringLiteral("%1 recent for the account, %2 from the address")
                         .arg(refus.parCompte)
                         .arg(refus.parSource));
    if (demande.connexion)
        demande.connexion->terminerApres(QStringLiteral("a:"), int(refus.delaiMs));
}

// reponse: "n:" for the connection that created the account, else "m:".
void Identification::accepter(const Demande &demande, const QString &reponse)
{
    if (!demande.connexion)
        return;
    if (!reponse.startsWith(QLatin1String("n:")))
        journaliserEvenement(demande.numero, "authenticated", demande.adresse, demande.compte);
    ConnexionClient *connexion = demande.connexion;
    connexion->accepter(demande.compte, demande.cle);
    emit acceptee(connexion);
    connexion->envoyer(reponse);
}

// The database's state is logged once for all the requests it fails. When it
// only refuses to write, this was a new account: known ones still log in.
void Identification::echouer(const Demande &demande)
{
    if (!demande.connexion)
        return;
    demande.connexion->terminer(banque.ecritureRefusee()
                                    ? QStringLiteral("i:The server cannot open new accounts for now,"
                                                     " please try again later")
                                    : avisBaseInjoignable());
}
