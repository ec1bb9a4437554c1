#ifndef PRESENCEPOSTGRES_H
#define PRESENCEPOSTGRES_H

#include "server/grappe/avisbase.h"
#include "server/grappe/grappe.h"
#include "server/reseau/minuterie.h"

#include "server/grappe/avis.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QPair>
#include <QSet>

#include <optional>
#include <set>

// Every server on one PostgreSQL database writes itself in `servers`, with a
// heartbeat renewed every couple of seconds, and its connected accounts in
// `presence`. A server whose heartbeat is older than the bound no longer
// holds its accounts: one that was killed lets them go within seconds. The
// money that other servers move is heard through the triggers' notifications;
// those missed while the listening connection was away are read again from
// the journals once it is back, each told once.
class PresencePostgres : public Grappe
{
public:
    PresencePostgres(asio::io_context &contexte, const QString &adresse, const QString &origine);
    // A clean stop takes the server's rows away.
    ~PresencePostgres() override;

    void arrivee(const QString &compte, std::function<void()> suite) override;
    void depart(const QString &compte) override;
    void chercher(const QString &compte, std::function<void(Presence)> suite) override;
    void prevuIci(const QString &destinataire, qint64 montant, const QString &source) override;
    void renonceIci(const QString &destinataire, qint64 montant, const QString &source) override;

private:
    // What is known of one journal's ids: every id up to plancher is told or
    // never will be; above it, those told.
    struct Suivi
    {
        qint64 plancher = -1;
        std::set<qint64> vus;
        void avancer(qint64 jusqua);
    };

    void connectee();
    void premierReleve();
    void lireMaxima(std::function<void(const std::optional<QPair<qint64, qint64>> &)> suite);
    void rattraper();
    void rattrape(const AvisBase::Lignes &lignes);
    void rattraperAvis(const AvisArgent &manque);
    static QString cleFaitIci(const QString &destinataire, qint64 montant, const QString &source);
    static QString cleFaitIci(const AvisArgent &avis);
    Suivi &suivi(AvisArgent::Genre genre);
    void inscrire();
    void inscrireComptes();
    void battre();
    void recevoir(const QByteArray &charge);

    QByteArray origine;
    AvisBase avis;
    QSet<QString> comptes;
    Minuterie pouls;
    int battements = 0;
    bool inscrit = false;
    bool avisIllisibleSignale = false;
    bool dejaConnectee = false;
    QElapsedTimer reconnexion;
    Suivi virements;
    Suivi credits;
    // The maxima of the journals' ids at the last heartbeats, oldest first.
    QList<QPair<qint64, qint64>> releves;
    // Transfers made here, already told here: their notifications are not.
    QList<QString> faitsIci;
    // Accounts whose balance was read while notifications were not heard.
    QSet<QString> arrivesHorsLigne;
    bool enRattrapage = false;
    QList<QByteArray> enSuspens;
};

// How often a server renews its heartbeat, and how old a heartbeat may be
// before its server no longer counts (the README gives it).
constexpr int intervallePoulsMs = 2000;
constexpr int limitePoulsS = 10;

#endif
