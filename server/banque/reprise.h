#ifndef REPRISE_H
#define REPRISE_H

#include "server/reseau/minuterie.h"

#include <QSqlDatabase>
#include <QString>

#include <memory>
#include <thread>

class Banque;
class Guichet;

// Opens the bank's connection again once it is found lost: PostgreSQL
// restarted or gone, the SQLite file moved away or replaced. Attempts follow
// each other after 0.25 s, doubling up to 5 s, timed by the server's loop and
// made on the bank's thread. For PostgreSQL a thread of its own first asks
// whether the server answers at all, so that a host that drops packets never
// holds the bank's other calls for the time-out of a connection; only then
// is the connection opened.
class Reprise
{
public:
    // banque is the one guichet serves; its loss is heard on the loop.
    Reprise(asio::io_context &contexte, Guichet &guichet, Banque &banque);
    ~Reprise();
    Reprise(const Reprise &) = delete;
    Reprise &operator=(const Reprise &) = delete;

private:
    void perdue();
    void essayer();
    void sonder();
    void sondee(bool repond);
    void rouvrir();
    void surveillerFichier();

    struct Parametres
    {
        QString hote;
        int port;
        QString utilisateur;
        QString motDePasse;
        QString nom;
        QString options;
    };
    static Parametres lireParametres(const QSqlDatabase &base);
    static bool postgresRepond(const Parametres &parametres);
    void reessayer();

    asio::io_context &contexte;
    Guichet &guichet;
    Banque &banque;
    const bool postgres;
    // Read once, before the bank's thread uses the connection.
    const Parametres parametres;
    const QString fichier;
    Minuterie attente;
    Minuterie surveillance;
    int delaiMs = 0;
    std::thread sonde;
    // Results of the probe reach this object only while it exists.
    std::shared_ptr<Reprise *> jeton;
};

#endif
