#ifndef CONNEXIONCLIENT_H
#define CONNEXIONCLIENT_H

// protocole/: one client's side of the protocol: its connection, reading its
// requests, the notices it is sent. Uses wire/, reseau/, journal/, banque/.

#include "server/protocole/requete.h"
#include "server/reseau/minuterie.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <memory>

class Liaison;

// One client's connection: reads its frames into requests, sends replies and
// ends the connection when the client misbehaves or stays silent too long.
// It deletes itself, from the server's loop, once the connection is closed.
class ConnexionClient : public QObject
{
    Q_OBJECT

public:
    // Without credentials within delaiMs, or with a frame left unfinished
    // that long, the connection ends.
    // parProxy: the peer is a trusted proxy, whose PROXY protocol header must
    // come first, within a few seconds; the client it names is the connection's.
    ConnexionClient(std::shared_ptr<Liaison> liaison, int delaiMs, bool parProxy = false, QObject *parent = nullptr);
    ~ConnexionClient() override;

    int numero() const { return identifiant; }
    bool estAuthentifiee() const { return !compte.isEmpty(); }
    QString compteAuthentifie() const { return compte; }
    bool cleEgale(const QString &autre) const;
    // The client's IP address, as text (the one its proxy gave, if any).
    QString adresseDistante() const;
    // Known: the connection came directly, or its proxy's header was read.
    bool adresseEtablie() const { return !attendEntete; }

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
    // The proxy's header is read: adresseDistante() is the client's.
    void clientRelaye();
    void requeteRecue(const Requete &requete);
    void fermee();

private:
    void donneesRecues(const char *octets, std::size_t taille);
    void traiterEntree();
    bool lireEntete();
    void enteteTropLongue();
    void annoncer();
    void lireEncore();
    bool prendreTrame(QByteArray &corps);
    void deconnectee();
    void identificationTropLongue();
    void trameInachevee();
    void mesurerReponse(const QString &reponse);

    bool ouverte = true;
    bool suspendue = false;
    bool traitementPrevu = false;
    bool termine = false;
    bool attendEntete = false;
    bool relayee = false;
    std::shared_ptr<Liaison> liaison;
    int identifiant;
    QByteArray entree;
    quint16 tailleAttendue = 0;
    QString compte;
    QString cle;
    QString reponseDifferee;
    Minuterie minuterieIdentification;
    Minuterie minuterieTrame;
    Minuterie minuterieDifferee;
    Minuterie minuterieEntete;
    int delaiTrameMs;
    // The request awaiting its answer, timed for the metrics.
    enum class Attente { Rien, Identification, Virement } attente = Attente::Rien;
    QElapsedTimer depuisRequete;
};

// The longest frame body taken from a client; real requests are a few hundred bytes.
constexpr int tailleMaxCorps = 4096;

#endif
