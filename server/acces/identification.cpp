#include "server/acces/identification.h"

#include "server/banque/banque.h"
#include "server/banque/empreinte.h"
#include "server/banque/guichet.h"
#include "server/journal/evenements.h"
#include "server/mesures/mesures.h"
#include "server/protocole/avisclient.h"
#include "server/protocole/connexionclient.h"
#include "server/reseau/minuterie.h"

#include <QDebug>
#include <QSemaphore>
#include <QThread>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <atomic>
#include <memory>

namespace {

// Memory for the counters stays bounded whatever the number of sources.
constexpr int maxSourcesSuivies = 65536;
// Logins from where the account logged in lately go first; an existing
// account's login is never kept waiting behind a new account.
constexpr int prioriteConnue = 2;
constexpr int prioriteVerification = 1;
constexpr int prioriteCreation = 0;
// Checks queued or running at once: per address and account, per account,
// and per core for the whole server (twice that for the known addresses).
// Beyond, a key is refused at once rather than queued.
constexpr int maxEnCoursParPaire = 2;
constexpr int maxEnCoursParCompte = 4;
constexpr int maxEnCoursParCoeur = 8;
// Checks started per account: from the addresses it has not logged in from
// lately, 6 a second (6 at once) whatever their number; from each address it
// has, 4 a second of its own (8 at once), for an owner who reconnects.
constexpr qint64 periodeCompteMs = 1000 / 6;
constexpr int rafaleCompte = 6;
constexpr qint64 periodeConnueMs = 250;
constexpr int rafaleConnue = 8;
// How long an address from which an account logged in stays known for it.
constexpr qint64 souvenirReussiteMs = qint64(7) * 24 * 3600 * 1000;
// A flood of "busy" refusals logs one line per address this often, with the count of the others.
constexpr qint64 periodeLignesOccupeMs = 1000;

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

Identification::Identification(Guichet &guichet, asio::io_context &contexte, QObject *parent)
    : QObject(parent)
    , guichet(guichet)
    , contexte(contexte)
    , creationsSources(creationsParMinuteParDefaut)
    , rythmeComptes(maxSourcesSuivies, periodeCompteMs)
    , rythmeConnues(maxSourcesSuivies, periodeConnueMs)
    , reussites(maxSourcesSuivies, souvenirReussiteMs)
    , lignesOccupe(maxSourcesSuivies, periodeLignesOccupeMs)
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
    creationsSources.limiter(parMinute);
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
    if (rejoindreCreation(demande))
        return;
    guichet.confier(
        [compte = demande.compte](Banque &banque) { return lireFiche(banque, compte); },
        [this, demande](const Fiche &fiche) { ficheLue(demande, fiche); });
}

Identification::Fiche Identification::lireFiche(Banque &banque, const QString &compte)
{
    Fiche fiche;
    fiche.issue = banque.chercher(compte, &fiche.empreinte, &fiche.solde);
    return fiche;
}

// The account is being created: its key is known once it is.
bool Identification::rejoindreCreation(const Demande &demande)
{
    const auto creation = creations.find(demande.compte);
    if (creation == creations.end())
        return false;
    creation->append(demande);
    return true;
}

void Identification::ficheLue(const Demande &demande, const Fiche &fiche)
{
    switch (fiche.issue) {
    case Banque::Issue::Fait: {
        Demande aVerifier = demande;
        aVerifier.empreinte = fiche.empreinte;
        if (admettre(aVerifier))
            verifier(aVerifier);
        return;
    }
    case Banque::Issue::CompteInconnu:
        // Another request may have started its creation while this one was looked up.
        if (!rejoindreCreation(demande))
            creer(demande);
        return;
    default:
        echouer(demande);
        return;
    }
}

// Whether the key is checked now; if not, it is refused at once, unchecked.
bool Identification::admettre(Demande &demande)
{
    const QString paire = demande.paire();
    const bool connue = reussites.nombre(paire, maintenant()) > 0;
    demande.connue = connue;
    const int plafond = maxEnCoursParCoeur * calculs.maxThreadCount() * (connue ? 2 : 1);
    if (enCours >= plafond) {
        refuserOccupe(demande, "server busy checking keys");
        return false;
    }
    if (enCoursParPaire.value(paire) >= maxEnCoursParPaire
        || (!connue && enCoursParCompte.value(demande.compte) >= maxEnCoursParCompte)) {
        refuserOccupe(demande, "too many keys being checked for the account");
        return false;
    }
    CompteursRecents &rythme = connue ? rythmeConnues : rythmeComptes;
    const QString &cle = connue ? paire : demande.compte;
    const int rafale = connue ? rafaleConnue : rafaleCompte;
    if (rythme.nombre(cle, maintenant()) >= rafale) {
        refuserOccupe(demande, "too many keys checked lately for the account");
        return false;
    }
    rythme.compter(cle, maintenant());
    return true;
}

void Identification::occuper(const Demande &demande, int sens)
{
    enCours += sens;
    varierVerifications(sens);
    const auto ajuster = [sens](QHash<QString, int> &compteurs, const QString &cle) {
        const int reste = compteurs.value(cle) + sens;
        if (reste > 0)
            compteurs.insert(cle, reste);
        else
            compteurs.remove(cle);
    };
    ajuster(enCoursParPaire, demande.paire());
    if (!demande.connue)
        ajuster(enCoursParCompte, demande.compte);
}

void Identification::refuserOccupe(const Demande &demande, const char *detail)
{
    int taisus = 0;
    if (lignesOccupe.aEcrire(demande.source, maintenant(), &taisus)) {
        QString texte = QLatin1String(detail);
        if (taisus > 0)
            texte += QStringLiteral("; %1 more from the address not logged since its last such line").arg(taisus);
        journaliserRefus(demande.numero, "busy", demande.adresse, demande.compte, texte);
    } else {
        // Not logged, but counted all the same.
        compterRefus("busy");
    }
    if (demande.connexion)
        demande.connexion->terminer(
            QStringLiteral("i:Too many keys are being checked, please try again in a few seconds"));
}

void Identification::verifier(const Demande &demande)
{
    if (!demande.connexion)
        return;
    const QString cle = demande.cle;
    const QString empreinte = demande.empreinte;
    // A client that hangs up before its key's turn costs no derivation:
    // nobody would hear the answer, and a flood of such keys would delay the rest.
    const auto partie = std::make_shared<std::atomic_bool>(false);
    connect(demande.connexion.data(), &ConnexionClient::fermee, this, [partie] { *partie = true; });
    occuper(demande, 1);
    calculer(
        [cle, empreinte, partie]() -> std::optional<bool> {
            if (*partie)
                return std::nullopt;
            return verifierCle(cle, empreinte);
        },
        [this, demande](std::optional<bool> juste) { cleVerifiee(demande, juste); },
        demande.connue ? prioriteConnue : prioriteVerification);
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

void Identification::cleVerifiee(const Demande &demande, std::optional<bool> juste)
{
    occuper(demande, -1);
    if (!juste)
        return; // not checked: its client had gone
    if (!*juste)
        refuserCle(demande);
    else
        relire(demande);
}

// Read again: money may have come in during the derivation.
void Identification::relire(const Demande &demande)
{
    guichet.confier(
        [compte = demande.compte](Banque &banque) { return lireFiche(banque, compte); },
        [this, demande](const Fiche &fiche) {
            if (fiche.issue == Banque::Issue::Fait)
                accepter(demande, QStringLiteral("m:") + QString::number(fiche.solde));
            else
                echouer(demande);
        });
}

void Identification::creer(const Demande &demande)
{
    if (enCours >= maxEnCoursParCoeur * calculs.maxThreadCount()) {
        refuserOccupe(demande, "server busy checking keys");
        return;
    }
    // The others for the account wait from now: one admission, one creation.
    // Its place among the checks is taken now, so that a flood of new
    // accounts never gets past the bound while the database counts them.
    creations.insert(demande.compte, {demande});
    ++enCours;
    varierVerifications(1);
    guichet.confier([sources = &creationsSources, source = demande.source](
                        Banque &banque) { return sources->admettre(banque, source); },
                    [this, demande](bool admise) { creationAdmise(demande, admise); });
}

void Identification::creationAdmise(const Demande &demande, bool admise)
{
    if (!admise) {
        --enCours;
        varierVerifications(-1);
        // The others came from elsewhere, maybe: each is looked at again.
        QVector<Demande> suivantes = creations.take(demande.compte);
        if (!suivantes.isEmpty())
            suivantes.removeFirst();
        journaliserRefus(demande.numero, "account-creations", demande.adresse, demande.compte,
                         QStringLiteral("too many new accounts"));
        if (demande.connexion)
            demande.connexion->terminer(
                QStringLiteral("i:Too many accounts were created from your address, please try again later"));
        for (const Demande &suivante : qAsConst(suivantes))
            orienter(suivante);
        return;
    }
    const QString cle = demande.cle;
    const QString compte = demande.compte;
    calculer([cle] { return empreinteCle(cle); },
             [this, compte](const QString &empreinte) { empreinteCalculee(compte, empreinte); }, prioriteCreation);
}

void Identification::empreinteCalculee(const QString &compte, const QString &empreinte)
{
    --enCours;
    varierVerifications(-1);
    guichet.confier([compte, empreinte](Banque &banque) { return banque.creer(compte, empreinte); },
                    [this, compte](Banque::Issue issue) { compteCree(compte, issue); });
}

void Identification::compteCree(const QString &compte, Banque::Issue issue)
{
    QVector<Demande> concernees = creations.take(compte);
    if (concernees.isEmpty())
        return;
    switch (issue) {
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
    guichet.confier([echecs = &echecs, compte = demande.compte, source = demande.source](
                        Banque &banque) { return echecs->compter(banque, compte, source); },
                    [this, demande](const EchecsCles::Refus &refus) { cleRefusee(demande, refus); });
}

void Identification::cleRefusee(const Demande &demande, const EchecsCles::Refus &refus)
{
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
    // Remembered, not forgiving: the address's recent wrong keys still count.
    reussites.compter(demande.paire(), maintenant());
    if (!reponse.startsWith(QLatin1String("n:")))
        journaliserEvenement(demande.numero, "authenticated", demande.adresse, demande.compte);
    ConnexionClient *connexion = demande.connexion;
    connexion->accepter(demande.compte, demande.cle);
    emit acceptee(connexion, reponse);
}

// The database's state is logged once for all the requests it fails. When it
// only refuses to write, this was a new account: known ones still log in.
void Identification::echouer(const Demande &demande)
{
    compterIdentificationEchouee();
    if (!demande.connexion)
        return;
    demande.connexion->terminer(guichet.constat().ecritureRefusee
                                    ? QStringLiteral("i:The server cannot open new accounts for now,"
                                                     " please try again later")
                                    : avisBaseInjoignable());
}
