#ifndef SERVEUR_H
#define SERVEUR_H

// service/: the server itself: accepts clients, routes their requests to access
// and the bank, makes the transfers in lots, hands out the money received.
// Uses every folder but programme/.

#include "server/acces/identification.h"
#include "server/acces/limitesconnexions.h"
#include "server/banque/banque.h"
#include "server/grappe/grappe.h"
#include "server/protocole/requete.h"
#include "server/reseau/ecoute.h"
#include "server/reseau/proxysdeconfiance.h"

#include <QHash>
#include <QHostAddress>
#include <QMultiHash>
#include <QObject>
#include <QPointer>
#include <QVector>

#include <memory>

class ConnexionClient;
class Guichet;
class Liaison;

// Accepts clients, answers their requests from the bank, and knows which
// accounts have an authenticated connection open, to pass them the money
// they receive.
class Serveur : public QObject
{
    Q_OBJECT

public:
    using Limites = LimitesConnexions;

    // delaiMs: how long a client may take to send its credentials, or to
    // finish a frame it has started. The bank is reached through guichet only.
    Serveur(asio::io_context &contexte, Guichet &guichet, int delaiMs, Limites limites, QObject *parent = nullptr);

    bool ecouter(const QHostAddress &adresse, quint16 port);
    QString erreur() const { return ecoute.erreur(); }
    QHostAddress adresse() const;
    quint16 port() const;
    bool accepte() const { return ecoute.accepte(); }
    // How many new accounts one address may create in a minute.
    void limiterCreations(int parMinute) { identification.limiterCreations(parMinute); }
    // The peers trusted to relay clients with a PROXY protocol header; the
    // address it gives counts for everything. None by default.
    void accepterProxys(const QList<SousReseau> &proxys) { proxysDeConfiance = proxys; }
    // The other servers on the same database, and the money they announce.
    void rejoindre(Grappe &membres);

private:
    struct Virement
    {
        QPointer<ConnexionClient> connexion;
        int numero;
        QString source;
        QString destinataire;
        int montant;
        Banque::Issue issue;
        QString adresse;  // of the client, for the log
        bool ditIci = false;  // to a recipient connected here, told by this server
    };

    void traiter(ConnexionClient *connexion, const Requete &requete);
    void identifier(ConnexionClient *connexion, const Requete &requete);
    void transferer(ConnexionClient *connexion, const Requete &requete);
    void presenceTrouvee(ConnexionClient *connexion, const Requete &requete, Grappe::Presence presence);
    void mettreEnLot(ConnexionClient *connexion, const Requete &requete);
    void repondre(const Virement &virement);
    void envoyer(ConnexionClient *connexion, const QString &reponse);
    void refuserAbsent(ConnexionClient *connexion, const QString &destinataire);
    void repondreAbsent(ConnexionClient *connexion, const QString &destinataire, Banque::Issue issue);
    void distribuer(const QString &compte, const QString &reponse);
    void nouvelleConnexion(std::shared_ptr<Liaison> liaison);
    void admettre(ConnexionClient *connexion);
    void refuserAdresse(ConnexionClient *connexion);
    void compterAcceptee(ConnexionClient *connexion, const QString &reponse);
    void arrivee(ConnexionClient *connexion, const QString &compte, const QString &reponse);
    void joindre(ConnexionClient *connexion, const QString &compte, const QString &reponse);
    void oublier(ConnexionClient *connexion);
    void prevoirLot();
    void executerLot();
    void lotFait(QVector<Virement> lot, const QVector<Banque::Ordre> &ordres);

    asio::io_context &contexte;
    Guichet &guichet;
    int delaiMs;
    Limites limites;
    Ecoute ecoute;
    Identification identification;
    Grappe *grappe = nullptr;
    QList<SousReseau> proxysDeConfiance;
    QMultiHash<QString, ConnexionClient *> connectes;
    // Accepted connections waiting for the cluster to hear of their account.
    QHash<QString, int> enArrivee;
    ConnexionsParAdresse parAdresse;
    QVector<Virement> enAttente;
    bool lotPrevu = false;
    // One lot at a time: the transfers that come meanwhile make the next one.
    bool lotEnCours = false;
};

// A lot holds SQLite's write lock (or PostgreSQL's row locks) while it is made:
// it stays short for the other servers on the same database.
constexpr int tailleMaxLot = 256;

#endif
