#ifndef SENTINELLE_H
#define SENTINELLE_H

#include "server/reseau/minuterie.h"

#include <asio/io_context.hpp>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// The loop waits for its database in blocking calls. A database that is
// paused, or a peer behind a network that drops everything quietly, neither
// answers nor closes: its kernel may still acknowledge, so that neither the
// database's statement time-out nor TCP's keepalives end the wait. A thread
// of its own sees the loop's ticks stop; past the deadline it shuts down the
// sockets of the database connections (see surveillerPrise), and the call
// that held the loop fails as a lost connection, which its owner handles.
class Sentinelle
{
public:
    Sentinelle(asio::io_context &contexte, int delaiMs);
    ~Sentinelle();
    Sentinelle(const Sentinelle &) = delete;
    Sentinelle &operator=(const Sentinelle &) = delete;

private:
    void battre();
    void veiller();

    Minuterie tic;
    const int delaiMs;
    // Milliseconds of the steady clock at the loop's last tick; 0 until the loop runs.
    std::atomic<long long> dernierTic{0};
    std::mutex verrou;
    std::condition_variable reveil;
    bool fin = false;
    std::thread veilleur;
};

// The sockets of the open database connections, from the loop's thread: a
// socket is cut only between these two calls, so never once it is closed.
void surveillerPrise(int prise);
void oublierPrise(int prise);

// How long the loop may wait for its database before its connections are cut.
constexpr int delaiBaseMs = 3000;

#endif
