#ifndef REPRISE_H
#define REPRISE_H

#include "server/reseau/minuterie.h"

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

#endif
