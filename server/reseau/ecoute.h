#ifndef ECOUTE_H
#define ECOUTE_H

// reseau/: the network on Asio: listening, one TCP connection (liaison), timers on
// the loop (minuterie), the process's descriptor limit. Uses Asio and Qt Core only.

#include "server/reseau/minuterie.h"

#include <QString>

#include <asio/ip/tcp.hpp>

#include <functional>
#include <memory>

class Liaison;

// The listening socket. It accepts connections as long as the process has
// descriptors to spare, keeping a reserve for the database, the threads and
// the log; near the limit it leaves newcomers waiting in the kernel's queue
// until connections close.
class Ecoute
{
public:
    explicit Ecoute(asio::io_context &contexte);
    ~Ecoute();
    Ecoute(const Ecoute &) = delete;
    Ecoute &operator=(const Ecoute &) = delete;

    bool ecouter(const QString &adresse, quint16 port);
    QString erreur() const { return derniereErreur; }
    asio::ip::tcp::endpoint extremite() const;
    // Listening, and not held back by the descriptor limit.
    bool accepte() const { return accepteur.is_open() && !suspendue; }

    // Each connection accepted; the server tells of its end through liberee().
    std::function<void(std::shared_ptr<Liaison>)> surConnexion;
    void liberee();

private:
    void accepterSuivante();
    void acceptee(const asio::error_code &erreur, asio::ip::tcp::socket socket);
    void suspendre(const QString &raison);
    void reprendre();

    asio::ip::tcp::acceptor accepteur;
    Minuterie minuterieReprise;
    QString derniereErreur;
    int ouvertes = 0;
    int plafond = 0;
    bool enAttente = false;   // an accept is pending
    bool suspendue = false;
    bool episode = false;     // the stop is logged, the return not yet
};

#endif
