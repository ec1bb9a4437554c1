#ifndef SENTINELLE_H
#define SENTINELLE_H

#include "server/reseau/minuterie.h"

#include <asio/io_context.hpp>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// Database calls block their thread. A database that is paused, or a peer
// behind a network that drops everything quietly, neither answers nor closes:
// its kernel may still acknowledge, so that neither the database's statement
// time-out nor TCP's keepalives end the wait. A thread of its own watches the
// loop's ticks and each call of the bank's thread (appelCommence); past the
// deadline it shuts down the sockets that the stalled one uses (see
// surveillerPrise), and the call fails as a lost connection, which its owner
// handles.
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

    void veillerBoucle(long long maintenant, long long &ticCoupe);
    void veillerAppels(long long maintenant, unsigned long long &appelCoupe);

    Minuterie tic;
    const int delaiMs;
    // Milliseconds of the steady clock at the loop's last tick; 0 until the loop runs.
    std::atomic<long long> dernierTic{0};
    std::mutex verrou;
    std::condition_variable reveil;
    bool fin = false;
    std::thread veilleur;
};

// Which thread waits on a socket: the loop, watched by its ticks, or the
// bank's thread, watched call by call.
enum class Attente { Boucle, Appels };

// The sockets of the open database connections, from the thread that uses
// them: a socket is cut only between these two calls, so never once it is closed.
void surveillerPrise(int prise, Attente attente = Attente::Boucle);
void oublierPrise(int prise);

// Around each call of the bank's thread.
void appelCommence();
void appelTermine();

// How long a thread may wait for its database before its connections are cut.
constexpr int delaiBaseMs = 3000;

#endif
