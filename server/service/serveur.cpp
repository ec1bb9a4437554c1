#include "server/service/serveur.h"

#include "server/banque/banque.h"
#include "server/banque/guichet.h"
#include "server/grappe/grappe.h"
#include "server/journal/evenements.h"
#include "server/mesures/mesures.h"
#include "server/protocole/avisclient.h"
#include "server/protocole/connexionclient.h"
#include "server/reseau/liaison.h"
#include "server/reseau/minuterie.h"

#include <QDebug>

Serveur::Serveur(asio::io_context &contexte, Guichet &guichet, int delaiMs, Limites limites, QObject *parent)
    : QObject(parent)
    , contexte(contexte)
    , guichet(guichet)
    , delaiMs(delaiMs)
    , limites(limites)
    , ecoute(contexte)
    , identification(guichet, contexte)
    , parAdresse(limites.parAdresse)
{
    ecoute.surConnexion = [this](std::shared_ptr<Liaison> liaison) { nouvelleConnexion(std::move(liaison)); };
    connect(&identification, &Identification::acceptee, this, &Serveur::compterAcceptee);
}

void Serveur::rejoindre(Grappe &membres)
{
    grappe = &membres;
    grappe->distribuer = [this](const QString &compte, const QString &reponse) { distribuer(compte, reponse); };
}

bool Serveur::ecouter(const QHostAddress &adresse, quint16 port)
{
    return ecoute.ecouter(adresse.toString(), port);
}

QHostAddress Serveur::adresse() const
{
    return QHostAddress(QString::fromStdString(ecoute.extremite().address().to_string()));
}

quint16 Serveur::port() const
{
    return ecoute.extremite().port();
}

// A trusted proxy's connection is counted under its client's address, once its header says which.
void Serveur::nouvelleConnexion(std::shared_ptr<Liaison> liaison)
{
    const bool parProxy = !proxysDeConfiance.isEmpty()
                          && estProxyDeConfiance(proxysDeConfiance, liaison->adresseDistante());
    auto *connexion = new ConnexionClient(std::move(liaison), delaiMs, parProxy, this);
    if (!parProxy) {
        admettre(connexion);
        return;
    }
    const auto avantEntete = connect(connexion, &ConnexionClient::fermee, this, [this] { ecoute.liberee(); });
    connect(connexion, &ConnexionClient::clientRelaye, this, [this, connexion, avantEntete] {
        disconnect(avantEntete);
        admettre(connexion);
    });
}

void Serveur::admettre(ConnexionClient *connexion)
{
    if (!parAdresse.ouvrir(connexion->adresseDistante())) {
        refuserAdresse(connexion);
        return;
    }
    connect(connexion, &ConnexionClient::requeteRecue, this,
            [this, connexion](const Requete &requete) { traiter(connexion, requete); });
    connect(connexion, &ConnexionClient::fermee, this, [this, connexion] { oublier(connexion); });
}

void Serveur::refuserAdresse(ConnexionClient *connexion)
{
    journaliserRefus(connexion->numero(), "address-connections", connexion->adresseDistante(), QString(),
                     QStringLiteral("already %1 connections").arg(limites.parAdresse));
    connect(connexion, &ConnexionClient::fermee, this, [this] { ecoute.liberee(); });
    connexion->terminer(QStringLiteral("i:Too many connections are open from your address, please try again later"));
}

// The credentials are right; the account may still have too many connections.
void Serveur::compterAcceptee(ConnexionClient *connexion, const QString &reponse)
{
    const QString compte = connexion->compteAuthentifie();
    if (connectes.count(compte) + enArrivee.value(compte) >= limites.parCompte) {
        journaliserRefus(connexion->numero(), "account-connections", connexion->adresseDistante(), compte,
                         QStringLiteral("already %1 connections").arg(limites.parCompte));
        connexion->terminer(QStringLiteral("i:Too many connections are open on this account, please close one"));
        return;
    }
    if (!grappe) {
        joindre(connexion, compte, reponse);
        return;
    }
    arrivee(connexion, compte, reponse);
}

// Its next requests wait until it has joined, after its reply.
void Serveur::arrivee(ConnexionClient *connexion, const QString &compte, const QString &reponse)
{
    connexion->suspendre();
    ++enArrivee[compte];
    grappe->arrivee(compte, [this, connexion = QPointer<ConnexionClient>(connexion), compte, reponse] {
        if (--enArrivee[compte] == 0)
            enArrivee.remove(compte);
        if (!connexion) {
            // Closed meanwhile: the cluster was told of an account no longer here.
            if (!connectes.contains(compte) && !enArrivee.contains(compte))
                grappe->depart(compte);
            return;
        }
        joindre(connexion, compte, reponse);
        connexion->reprendre();
    });
}

void Serveur::joindre(ConnexionClient *connexion, const QString &compte, const QString &reponse)
{
    connectes.insert(compte, connexion);
    connexion->envoyer(reponse);
}

void Serveur::oublier(ConnexionClient *connexion)
{
    const QString compte = connexion->compteAuthentifie();
    if (connexion->estAuthentifiee() && connectes.remove(compte, connexion) && grappe && !connectes.contains(compte)
        && !enArrivee.contains(compte))
        grappe->depart(compte);
    parAdresse.fermer(connexion->adresseDistante());
    ecoute.liberee();
}

void Serveur::traiter(ConnexionClient *connexion, const Requete &requete)
{
    switch (requete.genre) {
    case Requete::Genre::Identifiants:
        identifier(connexion, requete);
        return;
    case Requete::Genre::IdentifiantsMalformes:
        journaliserRefus(connexion->numero(), "malformed-credentials", connexion->adresseDistante(), QString());
        connexion->terminer(QStringLiteral("a:"));
        return;
    case Requete::Genre::Virement:
    case Requete::Genre::VirementMalforme:
        transferer(connexion, requete);
        return;
    case Requete::Genre::Rejet:
        journaliserRefus(connexion->numero(), "malformed-request", connexion->adresseDistante(),
                         connexion->compteAuthentifie(), requete.motif);
        connexion->terminer(QStringLiteral("i:") + requete.motif);
        return;
    }
}

void Serveur::identifier(ConnexionClient *connexion, const Requete &requete)
{
    if (connexion->estAuthentifiee()) {
        connexion->envoyer(QStringLiteral("i:You are already authenticated"));
        return;
    }
    identification.demander(connexion, requete.compte, requete.cle);
}

void Serveur::transferer(ConnexionClient *connexion, const Requete &requete)
{
    if (!connexion->estAuthentifiee()) {
        journaliserRefus(connexion->numero(), "not-authenticated", connexion->adresseDistante(), QString());
        connexion->envoyer(QStringLiteral("i:Send your credentials before making a transfer"));
        return;
    }
    if (requete.genre == Requete::Genre::VirementMalforme) {
        journaliserRefus(connexion->numero(), "malformed-transfer", connexion->adresseDistante(),
                         connexion->compteAuthentifie(), requete.motif);
        connexion->envoyer(QStringLiteral("i:") + requete.motif);
        return;
    }
    const QString &source = requete.compte;
    const QString &destinataire = requete.destinataire;
    if (source != connexion->compteAuthentifie() || !connexion->cleEgale(requete.cle)) {
        journaliserRefus(connexion->numero(), "foreign-transfer", connexion->adresseDistante(),
                         connexion->compteAuthentifie());
        connexion->envoyer(QStringLiteral("i:The transfer must come from your own account with your own key"));
        return;
    }
    // A recipient connected here exists: only the others are looked up.
    if (connectes.contains(destinataire) || !grappe) {
        presenceTrouvee(connexion, requete, Grappe::Presence::Absent);
        return;
    }
    // Its next requests wait for this answer.
    connexion->suspendre();
    grappe->chercher(destinataire, [this, connexion = QPointer<ConnexionClient>(connexion),
                                    requete](Grappe::Presence presence) {
        if (connexion)
            presenceTrouvee(connexion, requete, presence);
    });
}

// The recipient may have logged in here while it was looked up.
void Serveur::presenceTrouvee(ConnexionClient *connexion, const Requete &requete, Grappe::Presence presence)
{
    if (connectes.contains(requete.destinataire) || presence == Grappe::Presence::Ailleurs) {
        mettreEnLot(connexion, requete);
        return;
    }
    if (presence == Grappe::Presence::Absent) {
        refuserAbsent(connexion, requete.destinataire);
        return;
    }
    connexion->reprendre();
    compterVirementEchoue("failed");
    connexion->envoyer(avisBaseInjoignable());
}

// Its next requests wait for this answer, which waits for the commit.
void Serveur::mettreEnLot(ConnexionClient *connexion, const Requete &requete)
{
    connexion->suspendre();
    enAttente.append(Virement{connexion, connexion->numero(), requete.compte, requete.destinataire, requete.montant,
                              Banque::Issue::Erreur, connexion->adresseDistante()});
    prevoirLot();
}

// Runs once the loop has handled what was ready with this transfer: the
// transfers that came together go in one lot.
void Serveur::prevoirLot()
{
    if (lotPrevu || lotEnCours)
        return;
    lotPrevu = true;
    ensuite(contexte, this, [this] {
        lotPrevu = false;
        executerLot();
    });
}

// The transfers that arrived since the last lot are made in one transaction;
// each one all or nothing, and each answered only once the commit is done.
void Serveur::executerLot()
{
    const int taille = qMin(enAttente.size(), tailleMaxLot);
    QVector<Virement> lot(enAttente.cbegin(), enAttente.cbegin() + taille);
    enAttente.remove(0, taille);

    QVector<Banque::Ordre> ordres;
    for (Virement &virement : lot) {
        ordres.append({virement.source, virement.destinataire, virement.montant, Banque::Issue::Erreur});
        virement.ditIci = grappe && connectes.contains(virement.destinataire);
        if (virement.ditIci)
            grappe->prevuIci(virement.destinataire, virement.montant, virement.source);
    }
    lotEnCours = true;
    guichet.confier(
        [ordres](Banque &banque) mutable {
            banque.transfererLot(ordres);
            return ordres;
        },
        [this, lot](const QVector<Banque::Ordre> &faits) { lotFait(lot, faits); });
}

void Serveur::lotFait(QVector<Virement> lot, const QVector<Banque::Ordre> &ordres)
{
    lotEnCours = false;
    if (!enAttente.isEmpty())
        prevoirLot();
    for (int i = 0; i < lot.size(); ++i) {
        Virement &virement = lot[i];
        virement.issue = ordres[i].issue;
        if (virement.ditIci && virement.issue != Banque::Issue::Fait)
            grappe->renonceIci(virement.destinataire, virement.montant, virement.source);
        repondre(virement);
    }
}

void Serveur::repondre(const Virement &virement)
{
    ConnexionClient *connexion = virement.connexion;
    if (connexion)
        connexion->reprendre();
    const QString montant = QString::number(virement.montant);
    const QString vers = QStringLiteral("amount ") + montant + QStringLiteral(" to ") + virement.destinataire;
    switch (virement.issue) {
    case Banque::Issue::Fait:
        break;
    case Banque::Issue::SoldeInsuffisant:
        journaliserRefus(virement.numero, "insufficient-balance", virement.adresse, virement.source, vers);
        envoyer(connexion, QStringLiteral("i:Your balance is insufficient for this transfer"));
        return;
    case Banque::Issue::Plafond:
        journaliserRefus(virement.numero, "recipient-ceiling", virement.adresse, virement.source, vers);
        envoyer(connexion, QStringLiteral("i:The recipient's balance cannot hold this amount"));
        return;
    case Banque::Issue::CompteInconnu:
        journaliserRefus(virement.numero, "unknown-recipient", virement.adresse, virement.source, vers);
        envoyer(connexion, QStringLiteral("i:The recipient account does not exist"));
        return;
    default:
        // The database's state is logged once for all the requests it fails.
        envoyer(connexion, avisVirementEchoue(guichet.constat()));
        return;
    }

    journaliserEvenement(virement.numero, "transfer", virement.adresse, virement.source, vers);
    envoyer(connexion, QLatin1String("s:") + virement.destinataire + QLatin1Char(':') + montant);
    // The other servers hear of it from the database.
    distribuer(virement.destinataire, QLatin1String("r:") + montant + QLatin1Char(':') + virement.source);
}

void Serveur::distribuer(const QString &compte, const QString &reponse)
{
    const auto recepteurs = connectes.values(compte);
    for (ConnexionClient *recepteur : recepteurs)
        recepteur->envoyer(reponse);
}

// To a connection that may have closed while its transfer was made.
void Serveur::envoyer(ConnexionClient *connexion, const QString &reponse)
{
    if (connexion)
        connexion->envoyer(reponse);
}

// Its next requests wait for the answer, as for a transfer.
void Serveur::refuserAbsent(ConnexionClient *connexion, const QString &destinataire)
{
    connexion->suspendre();
    guichet.confier([destinataire](Banque &banque) { return banque.existe(destinataire); },
                    [this, connexion = QPointer<ConnexionClient>(connexion), destinataire](Banque::Issue issue) {
                        if (!connexion)
                            return;
                        connexion->reprendre();
                        repondreAbsent(connexion, destinataire, issue);
                    });
}

void Serveur::repondreAbsent(ConnexionClient *connexion, const QString &destinataire, Banque::Issue issue)
{
    const QString vers = QStringLiteral("to ") + destinataire;
    switch (issue) {
    case Banque::Issue::Fait:
        journaliserRefus(connexion->numero(), "offline-recipient", connexion->adresseDistante(),
                         connexion->compteAuthentifie(), vers);
        connexion->envoyer(QStringLiteral("e:") + destinataire);
        return;
    case Banque::Issue::CompteInconnu:
        journaliserRefus(connexion->numero(), "unknown-recipient", connexion->adresseDistante(),
                         connexion->compteAuthentifie(), vers);
        connexion->envoyer(QStringLiteral("i:The recipient account does not exist"));
        return;
    default:
        compterVirementEchoue("failed");
        connexion->envoyer(avisBaseInjoignable());
        return;
    }
}
