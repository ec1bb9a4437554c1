#ifndef AVISBASE_H
#define AVISBASE_H

#include "server/reseau/minuterie.h"

#include <QByteArray>
#include <QVector>

#include <deque>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <functional>
#include <memory>

struct pg_conn;
struct pg_result;

// A PostgreSQL connection of its own that listens to the channel the
// triggers notify, on the server's loop: its socket is watched by Asio, and
// what it reads is handed out at once. It also runs the few statements that
// must be ordered with the notifications (see executer), one after another
// and without ever waiting for the database: a statement that gets no answer
// within its deadline loses the connection. When the connection drops, it
// connects again by itself, waiting longer after each failure; the log says
// once that it is lost and once that it is back. Notifications sent while it
// was away are not made up here: surConnexion's owner reads what it missed.
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

    using Lignes = QVector<QVector<QByteArray>>;
    // The number of rows a statement returned (or changed), -1 when it failed
    // or the connection is down; the rows' fields as text.
    using Suite = std::function<void(int nombre, const Lignes &lignes)>;

    // Sends sql with its text parameters after the statements sent before,
    // and calls suite with its result on the loop, never within this call.
    // The notifications read before its result are handed out first:
    // whatever committed before sql began has been handed out.
    void executer(const char *sql, const QVector<QByteArray> &valeurs, Suite suite);
    // The same, waiting for the result: for the server's last statement,
    // once the loop has stopped (the watchdog bounds it).
    int executerMaintenant(const char *sql, const QVector<QByteArray> &valeurs);

private:
    struct Instruction
    {
        QByteArray sql;
        QVector<QByteArray> valeurs;
        Suite suite;
    };

    bool envoyerSuivante();
    void recueillir();
    void garder(pg_result *resultat);
    void echouerEnAttente();
    void echouerPlusTard(Suite suite);
    void ecouter(int nombre);

    void connecterMaintenant();
    void reconnecter();
    void sonder(int etat);
    void connectee();
    void attendre(bool lecture);
    void lire();
    bool lireDisponible();
    void attendreReponses();
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
    Minuterie delaiInstruction;
    // The statements to send; the first one is on its way once enVol.
    std::deque<Instruction> file;
    bool enVol = false;
    int nombreLu = -1;
    Lignes lignesLues;
    int attenteMs;
    // Connected (etablie), then listening once LISTEN is answered (ecoute).
    bool etablie = false;
    bool ecoute = false;
    bool perdue = false;
    // Expires with this object: an Asio handler that runs later finds it so.
    std::shared_ptr<AvisBase *> jeton;
};

#endif
