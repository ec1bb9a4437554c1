#ifndef SERVEUR_H
#define SERVEUR_H

#include "server/banque.h"
#include "server/identification.h"
#include "server/requete.h"

#include <QHostAddress>
#include <QMultiHash>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <QVector>

class ConnexionClient;

// Accepts clients, answers their requests from the bank, and knows which
// accounts have an authenticated connection open, to pass them the money
// they receive.
class Serveur : public QObject
{
    Q_OBJECT

public:
    // delaiMs: how long a client may take to send its credentials, or to
    // finish a frame it has started.
    Serveur(Banque &banque, int delaiMs, QObject *parent = nullptr);

    bool ecouter(const QHostAddress &adresse, quint16 port);
    // How many new accounts one address may create in a minute.
    void limiterCreations(int parMinute) { identification.limiterCreations(parMinute); }
    QString erreur() const { return ecoute.errorString(); }
    QHostAddress adresse() const { return ecoute.serverAddress(); }
    quint16 port() const { return ecoute.serverPort(); }

private slots:
    void nouvelleConnexion();
    void executerLot();

private:
    struct Virement
    {
        QPointer<ConnexionClient> connexion;
        int numero;
        QString source;
        QString destinataire;
        int montant;
        Banque::Issue issue;
    };

    void traiter(ConnexionClient *connexion, const Requete &requete);
    void identifier(ConnexionClient *connexion, const Requete &requete);
    void transferer(ConnexionClient *connexion, const Requete &requete);
    void repondre(const Virement &virement);
    void envoyer(ConnexionClient *connexion, const QString &reponse);
    void refuserAbsent(ConnexionClient *connexion, const QString &destinataire);
    void oublier(ConnexionClient *connexion);

    Banque &banque;
    int delaiMs;
    QTcpServer ecoute;
    Identification identification;
    QMultiHash<QString, ConnexionClient *> connectes;
    QVector<Virement> enAttente;
    QTimer minuterieLot;
};

// A lot holds SQLite's write lock (or PostgreSQL's row locks) while it is made:
// it stays short for the other servers on the same database.
constexpr int tailleMaxLot = 256;

#endif
