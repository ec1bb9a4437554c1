#ifndef IDENTIFICATION_H
#define IDENTIFICATION_H

// acces/: who may come in: key checking, the slow-down counters of wrong keys,
// the limits on connections and account creations. Uses reseau/, journal/,
// banque/, protocole/.

#include "server/acces/compteursrecents.h"
#include "server/acces/creationscomptes.h"
#include "server/acces/echecscles.h"
#include "server/acces/lignesbornees.h"
#include "server/banque/banque.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QVector>

#include <optional>

class ConnexionClient;
class Guichet;
namespace asio {
class io_context;
}

constexpr int creationsParMinuteParDefaut = 10;

// Answers credentials. The key derivation (tens of milliseconds of CPU) runs
// on worker threads, one per core, and the database calls on the bank's
// thread, so that the event loop goes on serving everybody else.
//
// No key ever waits behind another: a key is checked at once or refused at
// once ("i:", try again in a few seconds), unchecked, so that a refusal
// tells nothing about it. Checks are bounded: a few pending per address and
// account, per account and for the whole server, and a rate per account
// that no number of addresses raises. Guessing is slowed down on the answer:
// a wrong key is answered ("a:") after the longer of the delays that the
// account's and the address's recent wrong keys call for; a right one at once.
// An address from which the account logged in recently has its own rate and
// goes first, so that others' guesses for the account do not keep it out.
//
// Checking the key of an existing account goes before deriving the key of a
// new one, and each address may create only a few accounts a minute, counted
// before the account is made and shared by every server on the database.
class Identification : public QObject
{
    Q_OBJECT

public:
    // Results of the worker threads come back to the loop of contexte.
    Identification(Guichet &guichet, asio::io_context &contexte, QObject *parent = nullptr);
    ~Identification() override;

    // How many new accounts one address may create in a minute.
    void limiterCreations(int parMinute);

    // The connection reads no further request until it has its answer.
    void demander(ConnexionClient *connexion, const QString &compte, const QString &cle);

signals:
    // The connection is authenticated; reponse ("n:" or "m:") is for the
    // receiver to send once the connection has joined the others.
    void acceptee(ConnexionClient *connexion, const QString &reponse);

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

        bool connue = false; // the account logged in recently from this address

        QString paire() const { return source + QLatin1Char(' ') + compte; }
    };

    // The account's record as the bank read it.
    struct Fiche
    {
        Banque::Issue issue = Banque::Issue::Erreur;
        QString empreinte;
        qint64 solde = 0;
    };

    // On the bank's thread.
    static Fiche lireFiche(Banque &banque, const QString &compte);
    void orienter(const Demande &demande);
    bool rejoindreCreation(const Demande &demande);
    void ficheLue(const Demande &demande, const Fiche &fiche);
    bool admettre(Demande &demande);
    void occuper(const Demande &demande, int sens);
    void refuserOccupe(const Demande &demande, const char *detail);
    void verifier(const Demande &demande);
    void cleVerifiee(const Demande &demande, std::optional<bool> juste);
    void relire(const Demande &demande);
    void creer(const Demande &demande);
    void creationAdmise(const Demande &demande, bool admise);
    void empreinteCalculee(const QString &compte, const QString &empreinte);
    void compteCree(const QString &compte, Banque::Issue issue);
    template <typename Calcul, typename Suite>
    void calculer(Calcul calcul, Suite suite, int priorite);
    void refuserCle(const Demande &demande);
    void cleRefusee(const Demande &demande, const EchecsCles::Refus &refus);
    void accepter(const Demande &demande, const QString &reponse);
    void echouer(const Demande &demande);
    qint64 maintenant() const { return horloge.elapsed(); }

    Guichet &guichet;
    asio::io_context &contexte;
    // Checks queued or running, per address and account, per account, in all.
    QHash<QString, int> enCoursParPaire;
    QHash<QString, int> enCoursParCompte;
    int enCours = 0;
    // The credentials waiting for the creation of their account, the first
    // one creating it, from its admission until the bank has made it.
    QHash<QString, QVector<Demande>> creations;
    // Used on the bank's thread.
    EchecsCles echecs;
    CreationsComptes creationsSources;
    // Checks started lately: per account from unknown addresses, per known address and account.
    CompteursRecents rythmeComptes;
    CompteursRecents rythmeConnues;
    // The addresses and accounts that logged in lately.
    CompteursRecents reussites;
    // "busy" refusals logged, one line per address and second at most.
    LignesBornees lignesOccupe;
    QElapsedTimer horloge;
    QThreadPool calculs;
};

#endif
