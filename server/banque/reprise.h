#ifndef REPRISE_H
#define REPRISE_H

#include "server/reseau/minuterie.h"

#include <QSqlDatabase>
#include <QSqlError>

#include <memory>
#include <thread>

class Banque;

// Opens the bank's connection again once it is found lost: PostgreSQL
// restarted or gone, the SQLite file moved away or replaced. Attempts follow
// each other after 0.25 s, doubling up to 5 s, on the server's loop. For
// PostgreSQL a worker thread first asks whether the server answers at all,
// so that a host that drops packets never holds the loop for the time-out
// of a connection; only then is the connection opened on the loop.
class Reprise
{
public:
    Reprise(asio::io_context &contexte, Banque &banque);
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

    asio::io_context &contexte;
    Banque &banque;
    Minuterie attente;
    Minuterie surveillance;
    int delaiMs = 0;
    std::thread sonde;
    // Results of the probe reach this object only while it exists.
    std::shared_ptr<Reprise *> jeton;
};

// The error says that the connection itself is gone, not that one statement
// failed: PostgreSQL's connection errors and shutdowns, an error from the
// client library (no SQLSTATE), the driver finding the connection closed;
// SQLite's file that cannot be opened, is no database, or was moved.
bool connexionPerdue(const QSqlError &erreur, const QSqlDatabase &base);

// SQLite: the file open here is no longer the one at the database's path
// (moved, removed or replaced): what is written here would not be found there.
bool fichierDeplace(const QSqlDatabase &base);

// While it lives, Qt's warnings that the statements of a dead PostgreSQL
// connection could not be freed on the server are dropped: there is no
// server to free them on, and one line per statement at each loss is noise.
class SilenceLiberation
{
public:
    SilenceLiberation();
    ~SilenceLiberation();
    SilenceLiberation(const SilenceLiberation &) = delete;
    SilenceLiberation &operator=(const SilenceLiberation &) = delete;
};

// The notice for a transfer that the bank did not confirm: a commit whose
// answer was lost with the connection may have been made all the same.
QString avisVirementEchoue(const Banque &banque);

#endif
