#ifndef FENCLIENT_H
#define FENCLIENT_H

#include "ui_fenclient.h"

#include <QAbstractSocket>
#include <QString>
#include <QWidget>

class LotJournal;
class QTcpSocket;
class QTimer;

// The socket takes in this many bytes per notification, a few dozen replies:
// a burst of them is then handled over many turns of the event loop and the
// window stays responsive.
constexpr qint64 tailleLectureReponses = 16384;

// A server that does not answer the login, from the press of the button to its
// first reply to the credentials, is given up after this long, rather than
// after the system's own time-out of a minute or more (or never, once connected).
constexpr int delaiConnexionParDefaut = 10000; // milliseconds

class FenClient : public QWidget, private Ui::FenClient
{
    Q_OBJECT

public:
    FenClient();
    ~FenClient() override;

    // True when no account number was found: the user has been told and the
    // application asked to quit before its event loop ever ran.
    bool demarrageAbandonne() const;

    // How long a login may take before it is given up.
    void definirDelaiConnexion(int millisecondes);

private slots:
    void on_boutonConnexion_clicked();
    void on_boutonEnvoyer_clicked();
    void on_message_returnPressed();
    void donneesRecues();
    void connecte();
    void deconnecte();
    void erreurSocket(QAbstractSocket::SocketError erreur);
    void on_boutonEnvoiArgent_clicked();

private:
    void envoyerMessage(QString message);
    void envoyerIdentifiants();
    void traiterReponse(const QString &reponse, LotJournal &lot);
    void afficherCompteCree(const QString &fichierCle);
    void journaliserAvis(const QString &ligne);
    void journaliserTexte(const QString &ligne);
    void journaliserPasConnecte();
    void abandonnerTentative();

    QTcpSocket *socket = nullptr;
    quint16 tailleMessage = 0;
    QString cle;
    QTimer *delaiConnexion = nullptr;
    // Until a balance has come, the balance label holds no balance to check a transfer against.
    bool soldeRecu = false;
};

#endif
