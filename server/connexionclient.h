#ifndef CONNEXIONCLIENT_H
#define CONNEXIONCLIENT_H

#include "server/requete.h"

#include <QObject>
#include <QTimer>

class QTcpSocket;

// One client's connection: reads its frames into requests, sends replies and
// ends the connection when the client misbehaves or stays silent too long.
// It deletes itself once the connection is closed.
class ConnexionClient : public QObject
{
    Q_OBJECT

public:
    // The socket becomes a child of the connection. Without credentials within
    // delaiMs, or with a frame left unfinished that long, the connection ends.
    ConnexionClient(QTcpSocket *socket, int delaiMs, QObject *parent = nullptr);

    int numero() const { return identifiant; }
    // The peer's IP address, as text.
    QString adresseDistante() const { return adresse; }
    bool estAuthentifiee() const { return !compte.isEmpty(); }
    QString compteAuthentifie() const { return compte; }
    bool cleEgale(const QString &autre) const;

    // While a request is being answered, the next ones wait unread, so that
    // the replies keep the order of the requests. Suspending also ends the
    // wait for credentials: they have come.
    void suspendre();
    void reprendre();
    // Authenticates the connection and takes up its requests again.
    void accepter(const QString &numeroCompte, const QString &cleAcceptee);
    void envoyer(const QString &reponse);
    // Sends reponse (if any), then closes; what the client sends from now on is ignored.
    void terminer(const QString &reponse = QString());
    void terminerApres(const QString &reponse, int delaiMs);

signals:
    void requeteRecue(const Requete &requete);
    void fermee();

private slots:
    void donneesRecues();
    void deconnectee();
    void identificationTropLongue();
    void trameInachevee();

private:
    bool prendreTrame(QByteArray &corps);

    bool ouverte = true;
    bool suspendue = false;
    QTcpSocket *socket;
    int identifiant;
    QString adresse;
    QByteArray entree;
    quint16 tailleAttendue = 0;
    QString compte;
    QString cle;
    QTimer minuterieIdentification;
    QTimer minuterieTrame;
    QTimer minuterieFermeture;
};

// The longest frame body taken from a client; real requests are a few hundred bytes.
constexpr int tailleMaxCorps = 4096;

#endif
