#include "server/protocole/connexionclient.h"

#include "server/banque/empreinte.h"
#include "server/journal/evenements.h"
#include "server/mesures/mesures.h"
#include "server/reseau/liaison.h"
#include "server/reseau/protocoleproxy.h"
#include "wire/codec.h"
#include "wire/trame.h"

#include <QBuffer>
#include <QDebug>

namespace {

// Replies pile up here only for a client that does not read them.
constexpr qint64 maxEnAttenteEnvoi = 64 * 1024;
// What one read takes from the client. A frame cut in two stays in the
// connection's own buffer until the rest comes; while its requests wait,
// nothing more is read.
constexpr std::size_t tailleLecture = 4 * (tailleMaxCorps + 2);
constexpr int delaiFermetureMs = 5000;
// A proxy sends its header as soon as it connects.
constexpr int delaiEnteteMs = 5000;

int prochainNumero()
{
    static int compteur = 0;
    return ++compteur;
}

} // namespace

ConnexionClient::ConnexionClient(std::shared_ptr<Liaison> liaisonAcceptee, int delaiMs, bool parProxy,
                                 QObject *parent)
    : QObject(parent)
    , attendEntete(parProxy)
    , relayee(parProxy)
    , liaison(std::move(liaisonAcceptee))
    , identifiant(prochainNumero())
    , minuterieIdentification(liaison->contexte(), [this] { identificationTropLongue(); })
    , minuterieTrame(liaison->contexte(), [this] { trameInachevee(); })
    , minuterieDifferee(liaison->contexte(), [this] { terminer(reponseDifferee); })
    , minuterieEntete(liaison->contexte(), [this] { enteteTropLongue(); })
    , delaiTrameMs(delaiMs)
{
    liaison->surDonnees = [this](const char *octets, std::size_t taille) { donneesRecues(octets, taille); };
    liaison->surFermeture = [this] { deconnectee(); };
    // The client's own time for its credentials starts once its proxy has named it.
    if (attendEntete) {
        minuterieEntete.demarrer(qMin(delaiMs, delaiEnteteMs));
    } else {
        minuterieIdentification.demarrer(delaiMs);
        annoncer();
    }
    varierConnexions(1);
    lireEncore();
}

void ConnexionClient::annoncer()
{
    const QString via = relayee ? QStringLiteral(" via ") + liaison->adressePair() : QString();
    qInfo().noquote() << QStringLiteral("#%1 connection from %2 port %3%4")
                             .arg(identifiant)
                             .arg(liaison->adresseDistante())
                             .arg(liaison->portDistant())
                             .arg(via);
}

ConnexionClient::~ConnexionClient()
{
    varierConnexions(-1);
    liaison->abandonner();
}

bool ConnexionClient::cleEgale(const QString &autre) const
{
    return egalesEnTempsConstant(cle.toUtf8(), autre.toUtf8());
}

QString ConnexionClient::adresseDistante() const
{
    return liaison->adresseDistante();
}

void ConnexionClient::suspendre()
{
    suspendue = true;
    minuterieIdentification.arreter();
    liaison->veiller(false);
}

void ConnexionClient::reprendre()
{
    suspendue = false;
    if (!ouverte)
        return;
    if (entree.isEmpty()) {
        lireEncore();
        return;
    }
    // Requests already read are taken up after the caller is done: it may
    // still be answering the last one, whose reply must go first.
    if (traitementPrevu)
        return;
    traitementPrevu = true;
    ensuite(liaison->contexte(), this, [this] {
        traitementPrevu = false;
        traiterEntree();
    });
}

void ConnexionClient::accepter(const QString &numeroCompte, const QString &cleAcceptee)
{
    compte = numeroCompte;
    cle = cleAcceptee;
    minuterieIdentification.arreter();
    reprendre();
}

void ConnexionClient::envoyer(const QString &reponse)
{
    if (termine)
        return;
    mesurerReponse(reponse);
    liaison->envoyer(construireTrame(brouiller(reponse)));
    if (liaison->enAttenteEnvoi() > maxEnAttenteEnvoi) {
        journaliserRefus(identifiant, "not-reading", adresseDistante(), compte,
                         QStringLiteral("does not read its replies, connection cut"));
        liaison->couper();
    }
}

void ConnexionClient::terminer(const QString &reponse)
{
    ouverte = false;
    minuterieIdentification.arreter();
    minuterieTrame.arreter();
    minuterieDifferee.arreter();
    if (!reponse.isEmpty())
        envoyer(reponse);
    termine = true;
    // A client that does not take the last reply is cut after a while.
    liaison->terminer(delaiFermetureMs);
}

void ConnexionClient::terminerApres(const QString &reponse, int delaiMs)
{
    ouverte = false;
    minuterieIdentification.arreter();
    minuterieTrame.arreter();
    reponseDifferee = reponse;
    minuterieDifferee.demarrer(delaiMs);
    liaison->veiller(true);
}

void ConnexionClient::donneesRecues(const char *octets, std::size_t taille)
{
    entree.append(octets, int(taille));
    traiterEntree();
}

void ConnexionClient::traiterEntree()
{
    if (attendEntete && !lireEntete())
        return;
    while (ouverte && !suspendue) {
        QByteArray corps;
        const bool complete = prendreTrame(corps);
        if (tailleAttendue > tailleMaxCorps || corps.size() > tailleMaxCorps) {
            journaliserRefus(identifiant, "oversized-frame", adresseDistante(), compte);
            terminer(QStringLiteral("i:The request is too long"));
            return;
        }
        if (!complete) {
            if ((tailleAttendue > 0 || !entree.isEmpty()) && !minuterieTrame.estActive())
                minuterieTrame.demarrer(delaiTrameMs);
            lireEncore();
            return;
        }
        minuterieTrame.arreter();
        const Requete requete = analyserRequete(debrouiller(lireTexteTrame(corps)));
        attente = requete.genre == Requete::Genre::Identifiants ? Attente::Identification
                  : requete.genre == Requete::Genre::Virement   ? Attente::Virement
                                                                : Attente::Rien;
        depuisRequete.start();
        emit requeteRecue(requete);
    }
}

// False while the header is incomplete, or once it proved invalid; the peer
// is a proxy, not a client: it is told nothing.
bool ConnexionClient::lireEntete()
{
    const EnteteProxy entete = lireEnteteProxy(entree.constData(), std::size_t(entree.size()));
    switch (entete.etat) {
    case EnteteProxy::Etat::Incomplet:
        lireEncore();
        return false;
    case EnteteProxy::Etat::Invalide:
        journaliserRefus(identifiant, "proxy-header", liaison->adressePair(), QString(), entete.motif);
        ouverte = false;
        minuterieEntete.arreter();
        minuterieIdentification.arreter();
        liaison->couper();
        return false;
    case EnteteProxy::Etat::Complet:
        break;
    }
    entree.remove(0, int(entete.taille));
    minuterieEntete.arreter();
    if (entete.adresseFournie)
        liaison->relayer(entete.adresse, entete.port);
    attendEntete = false;
    minuterieIdentification.demarrer(delaiTrameMs);
    annoncer();
    emit clientRelaye();
    return ouverte;
}

void ConnexionClient::enteteTropLongue()
{
    journaliserRefus(identifiant, "proxy-header", liaison->adressePair(), QString(),
                     QStringLiteral("no PROXY header in time"));
    ouverte = false;
    minuterieIdentification.arreter();
    liaison->couper();
}

void ConnexionClient::lireEncore()
{
    if (ouverte && !suspendue)
        liaison->attendreDonnees(tailleLecture);
}

bool ConnexionClient::prendreTrame(QByteArray &corps)
{
    QBuffer tampon(&entree);
    tampon.open(QIODevice::ReadOnly);
    const bool complete = prendreCorpsTrame(tampon, tailleAttendue, corps);
    entree.remove(0, int(tampon.pos()));
    // An idle connection keeps no buffer.
    if (entree.isEmpty())
        entree.clear();
    return complete;
}

void ConnexionClient::deconnectee()
{
    ouverte = false;
    minuterieIdentification.arreter();
    minuterieTrame.arreter();
    minuterieDifferee.arreter();
    minuterieEntete.arreter();
    qInfo().noquote() << QStringLiteral("#%1 closed").arg(identifiant);
    emit fermee();
    ensuite(liaison->contexte(), this, [this] { delete this; });
}

void ConnexionClient::identificationTropLongue()
{
    journaliserRefus(identifiant, "idle-timeout", adresseDistante(), compte, QStringLiteral("no credentials in time"));
    terminer(QStringLiteral("i:No credentials were received in time"));
}

void ConnexionClient::trameInachevee()
{
    journaliserRefus(identifiant, "unfinished-frame", adresseDistante(), compte,
                     QStringLiteral("request not completed in time"));
    terminer(QStringLiteral("i:The request was not completed in time"));
}

// A notice is no answer: the request still waits for its own.
void ConnexionClient::mesurerReponse(const QString &reponse)
{
    if (reponse.startsWith(QLatin1String("r:"))) {
        compterAvisEnvoyes();
        return;
    }
    const double secondes = double(depuisRequete.nsecsElapsed()) / 1e9;
    if (attente == Attente::Identification)
        observerIdentification(secondes);
    else if (attente == Attente::Virement)
        observerVirement(secondes);
    attente = Attente::Rien;
}
