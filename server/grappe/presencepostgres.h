#ifndef PRESENCEPOSTGRES_H
#define PRESENCEPOSTGRES_H

#include "server/grappe/avisbase.h"
#include "server/grappe/grappe.h"
#include "server/reseau/minuterie.h"

#include <QByteArray>
#include <QSet>

// Every server on one PostgreSQL database writes itself in `servers`, with a
// heartbeat renewed every couple of seconds, and its connected accounts in
// `presence`. A server whose heartbeat is older than the bound no longer
// holds its accounts: one that was killed lets them go within seconds. The
// money that other servers move is heard through the triggers' notifications.
class PresencePostgres : public Grappe
{
public:
    PresencePostgres(asio::io_context &contexte, const QString &adresse, const QString &origine);
    // A clean stop takes the server's rows away.
    ~PresencePostgres() override;

    void arrivee(const QString &compte) override;
    void depart(const QString &compte) override;
    Presence chercher(const QString &compte) override;

private:
    void inscrire();
    void battre();
    void recevoir(const QByteArray &charge);

    QByteArray origine;
    AvisBase avis;
    QSet<QString> comptes;
    Minuterie pouls;
    int battements = 0;
    bool inscrit = false;
    bool avisIllisibleSignale = false;
};

// How often a server renews its heartbeat, and how old a heartbeat may be
// before its server no longer counts (the README gives it).
constexpr int intervallePoulsMs = 2000;
constexpr int limitePoulsS = 10;

#endif
