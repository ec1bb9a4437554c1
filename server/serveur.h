#ifndef SERVEUR_H
#define SERVEUR_H

#include "server/requete.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QMultiHash>
#include <QObject>
#include <QTcpServer>

class Banque;
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
    QString erreur() const { return ecoute.errorString(); }
    QHostAddress adresse() const { return ecoute.serverAddress(); }
    quint16 port() const { return ecoute.serverPort(); }

private slots:
    void nouvelleConnexion();

private:
    struct Echecs
    {
        int nombre = 0;
        qint64 dernier = 0;      // ms on horloge
        qint64 verrouJusqua = 0; // ms on horloge
    };

    void traiter(ConnexionClient *connexion, const Requete &requete);
    void identifier(ConnexionClient *connexion, const Requete &requete);
    void refuserCle(ConnexionClient *connexion, const QString &compte);
    void transferer(ConnexionClient *connexion, const Requete &requete);
    void oublier(ConnexionClient *connexion);

    Banque &banque;
    int delaiMs;
    QTcpServer ecoute;
    QMultiHash<QString, ConnexionClient *> connectes;
    // Wrong keys per account: each one locks the account for a growing time.
    QHash<QString, Echecs> echecs;
    QElapsedTimer horloge;
};

#endif
