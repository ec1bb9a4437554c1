#ifndef VEILLECREDITS_H
#define VEILLECREDITS_H

#include "server/grappe/grappe.h"
#include "server/reseau/minuterie.h"

#include <QSqlDatabase>

// On SQLite one server serves the file, and the admin command writes credits
// from another process. A read-only connection of its own asks SQLite every
// few hundred milliseconds whether another connection has committed (a
// counter in memory, no disk read), and only then reads the credits written
// since the last one seen. Those from before the server started are not told again.
class VeilleCredits : public Grappe
{
public:
    VeilleCredits(asio::io_context &contexte, const QString &adresse);
    ~VeilleCredits() override;

    void arrivee(const QString &compte, std::function<void()> suite) override;
    void depart(const QString &) override {}
    void chercher(const QString &, std::function<void(Presence)> suite) override { suite(Presence::Absent); }

private:
    bool ouvrir(const QString &adresse);
    void veiller();
    void verifier();
    bool lireVersion(qint64 *version);

    QString nomConnexion;
    QSqlDatabase base;
    qint64 version = -1;
    qint64 dernierCredit = 0;
    bool ouverte = false;
    bool echecSignale = false;
    Minuterie veille;
};

constexpr int intervalleVeilleMs = 300;

#endif
