#ifndef IDENTIFICATION_H
#define IDENTIFICATION_H

// acces/: who may come in: key checking, the slow-down counters of wrong keys,
// the limits on connections and account creations. Uses reseau/, journal/,
// banque/, protocole/.

#include "server/acces/compteursrecents.h"
#include "server/acces/echecscles.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QVector>

class Banque;
class ConnexionClient;
namespace asio {
class io_context;
}

constexpr int creationsParMinuteParDefaut = 10;

// Answers credentials. The key derivation (tens of milliseconds of CPU) runs
// on worker threads, one per core, so that the event loop goes on serving
// everybody else; the database is used from the loop's thread only.
//
// The right key is always checked at once, and accepted: wrong keys for an
// account never keep its owner out. Guessing is slowed down instead: once an
// address has given wrong keys for an account, its next keys for that account
// are checked one at a time, each only after a delay that grows with those
// wrong keys, and each wrong key is answered after the longer of the delays
// that the account's and the address's recent wrong keys call for.
//
// Checking the key of an existing account goes before deriving the key of a
// new one, and each address may create only a few accounts a minute.
class Identification : public QObject
{
    Q_OBJECT

public:
    // Results of the worker threads come back to the loop of contexte.
    Identification(Banque &banque, asio::io_context &contexte, QObject *parent = nullptr);
    ~Identification() override;

    // How many new accounts one address may create in a minute.
    void limiterCreations(int parMinute);

    // The connection reads no further request until it has its answer.
    void demander(ConnexionClient *connexion, const QString &compte, const QString &cle);

signals:
    // The connection is authenticated; its "n:" or "m:" reply follows.
    void acceptee(ConnexionClient *connexion);

private:
    struct Demande
    {
        QPointer<ConnexionClient> connexion;
        int numero;
        QString compte;
        QString cle;
        QString adresse;    // as logged
        QString source;     // as counted
        QString empreinte;  // of the existing account

        // The address and account whose keys are checked in turn.
        QString paire() const { return source + QLatin1Char(' ') + compte; }
    };
    // The credentials of one address for one account that wait for their check.
    struct Attente
    {
        QVector<Demande> file;
        int enCours = 0;
        bool reveilPrevu = false;
    };

    void orienter(const Demande &demande);
    void avancer(const QString &paire);
    void verifier(const Demande &demande);
    void cleVerifiee(const Demande &demande, bool juste);
    void creer(const Demande &demande);
    void empreinteCalculee(const QString &compte, const QString &empreinte);
    template <typename Calcul, typename Suite>
    void calculer(Calcul calcul, Suite suite, int priorite);
    void refuserCle(const Demande &demande);
    void accepter(const Demande &demande, const QString &reponse);
    void echouer(const Demande &demande);
    qint64 maintenant() const { return horloge.elapsed(); }

    Banque &banque;
    asio::io_context &contexte;
    int creationsParMinute = creationsParMinuteParDefaut;
    QHash<QString, Attente> attentes;
    // The credentials waiting for the creation of their account, the first one creating it.
    QHash<QString, QVector<Demande>> creations;
    EchecsCles echecs;
    CompteursRecents creationsSources;
    QElapsedTimer horloge;
    QThreadPool calculs;
};

#endif
