#ifndef AVISBASE_H
#define AVISBASE_H

#include "server/reseau/minuterie.h"

#include <QByteArray>
#include <QVector>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <functional>
#include <memory>

struct pg_conn;

// A PostgreSQL connection of its own that listens to the channel the
// triggers notify, on the server's loop: its socket is watched by Asio, and
// what it reads is handed out at once. It also runs the few statements that
// must be ordered with the notifications (see executer). When the connection
// drops, it connects again by itself, waiting longer after each failure; the
// log says once that it is lost and once that it is back. Notifications sent
// while it was away are not made up here: surConnexion's owner reads what it missed.
class AvisBase
{
public:
    // conninfo: a libpq connection string or postgresql:// URI.
    AvisBase(asio::io_context &contexte, const QByteArray &conninfo, const char *canal);
    ~AvisBase();
    AvisBase(const AvisBase &) = delete;
    AvisBase &operator=(const AvisBase &) = delete;

    // Each notification's payload on the channel.
    std::function<void(const QByteArray &charge)> surAvis;
    // Called once listening, after each (re)connection.
    std::function<void()> surConnexion;

    // The first connection, made at once; then the loop takes over.
    void demarrer();
    bool estConnectee() const { return ecoute; }

    // Runs sql with its text parameters and waits for the result: the number
    // of rows it returned (or changed), -1 when it failed or the connection is
    // down. The notifications read meanwhile are handed out before it
    // returns: whatever committed before sql began has been handed out.
    // lignes, when given, receives the rows' fields as text.
    int executer(const char *sql, const QVector<QByteArray> &valeurs = {},
                 QVector<QVector<QByteArray>> *lignes = nullptr);

private:
    void connecterMaintenant();
    void reconnecter();
    void sonder(int etat);
    void connectee();
    void attendre(bool lecture);
    void lire();
    void distribuer();
    bool suivreDescripteur();
    void lacherDescripteur();
    void perdre(const QByteArray &raison);

    asio::io_context &contexte;
    QByteArray conninfo;
    QByteArray instructionEcoute;
    pg_conn *connexion = nullptr;
    asio::posix::stream_descriptor descripteur;
    Minuterie reprise;
    Minuterie delaiConnexion;
    int attenteMs;
    bool ecoute = false;
    bool perdue = false;
    // Expires with this object: an Asio handler that runs later finds it so.
    std::shared_ptr<AvisBase *> jeton;
};

#endif
