#ifndef IDENTIFICATION_H
#define IDENTIFICATION_H

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

// Answers credentials. The key derivation (tens of milliseconds of CPU) runs
// on worker threads so that the event loop goes on serving everybody else;
// the database is used from the loop's thread only.
//
// The credentials for one account are checked one after another, as if the
// server took them one at a time: each wrong key locks the account for a
// growing time before the next try is even looked at, however many arrive at
// once. Tries that carry the same key as the one being checked share its
// result instead of waiting for a derivation of their own.
class Identification : public QObject
{
    Q_OBJECT

public:
    // Results of the worker threads come back to the loop of contexte.
    Identification(Banque &banque, asio::io_context &contexte, QObject *parent = nullptr);
    ~Identification() override;

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
        QString cle;
    };
    struct Echecs
    {
        int nombre = 0;
        qint64 dernier = 0;      // ms on horloge
        qint64 verrouJusqua = 0; // ms on horloge
    };

    void suivante(const QString &compte);
    bool commencer(const QString &compte, const Demande &demande);
    template <typename Calcul, typename Suite>
    void calculer(Calcul calcul, Suite suite);
    void cleVerifiee(const QString &compte, bool juste);
    void empreinteCalculee(const QString &compte, const QString &empreinte);
    QVector<Demande> retirerTeteEtMemeCle(const QString &compte);
    bool verrouille(const QString &compte, const Demande &demande);
    void refuserCle(const QString &compte, const Demande &demande);
    void accepter(const QString &compte, const Demande &demande, const QString &reponse);
    void echouer(const Demande &demande);

    Banque &banque;
    asio::io_context &contexte;
    // The credentials waiting, per account; the first ones are being checked.
    QHash<QString, QVector<Demande>> files;
    QHash<QString, Echecs> echecs;
    QElapsedTimer horloge;
    QThreadPool calculs;
};

// The notice for a client whose request the database cannot serve.
QString avisBaseInjoignable();

#endif
