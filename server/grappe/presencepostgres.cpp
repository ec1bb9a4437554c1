#include "server/grappe/presencepostgres.h"

#include "server/banque/postgres.h"
#include "server/banque/schemagrappe.h"
#include "server/grappe/avis.h"

#include <QDebug>
#include <QStringList>

namespace {

// Servers silent this long are taken away with their rows, by whichever
// server beats first: well past the bound, so that a server that was only
// slow finds its row again (and writes it back) before it goes.
constexpr int oubliMortsS = 60;
constexpr int battementsEntreNettoyages = 5;

QByteArray texte(const QString &valeur)
{
    return valeur.toUtf8();
}

} // namespace

PresencePostgres::PresencePostgres(asio::io_context &contexte, const QString &adresse, const QString &origine)
    : origine(origine.toUtf8())
    // A name of its own tells its connection apart from the bank's in pg_stat_activity.
    , avis(contexte, adresseAvecDelais(adresseAvecOrigine(adresse, origine + QStringLiteral("-avis"))).toUtf8(),
           canalArgent)
    , pouls(contexte, [this] { battre(); })
{
    avis.surAvis = [this](const QByteArray &charge) { recevoir(charge); };
    avis.surConnexion = [this] { inscrire(); };
    avis.demarrer();
    pouls.demarrer(intervallePoulsMs);
}

PresencePostgres::~PresencePostgres()
{
    avis.executer("DELETE FROM servers WHERE id = $1", {origine});
}

// After each (re)connection, or when the server's row was gone: the server
// and the accounts connected here are written (back), and the accounts that
// left while the database could not hear it are taken away, in one statement.
void PresencePostgres::inscrire()
{
    inscrit = avis.executer("INSERT INTO servers (id) VALUES ($1)"
                            " ON CONFLICT (id) DO UPDATE SET heartbeat = now()",
                            {origine})
              == 1;
    if (!inscrit)
        return;
    // Account numbers are hexadecimal digits: nothing to quote in the array.
    const QStringList liste(comptes.cbegin(), comptes.cend());
    const QByteArray tableau = '{' + texte(liste.join(QLatin1Char(','))) + '}';
    inscrit = avis.executer("WITH partis AS (DELETE FROM presence WHERE server = $1"
                            " AND NOT (account = ANY (CAST($2 AS TEXT[]))))"
                            " INSERT INTO presence (server, account) SELECT $1, unnest(CAST($2 AS TEXT[]))"
                            " ON CONFLICT DO NOTHING",
                            {origine, tableau})
              >= 0;
}

void PresencePostgres::battre()
{
    pouls.demarrer(intervallePoulsMs);
    if (!avis.estConnectee())
        return;  // inscrire follows the reconnection
    if (!inscrit || avis.executer("UPDATE servers SET heartbeat = now() WHERE id = $1", {origine}) == 0)
        inscrire();
    if (++battements % battementsEntreNettoyages == 0)
        avis.executer("DELETE FROM servers WHERE heartbeat < now() - make_interval(secs => $1)",
                      {QByteArray::number(oubliMortsS)});
}

void PresencePostgres::arrivee(const QString &compte)
{
    comptes.insert(compte);
    // Run even for an account already written: its round trip hands out the
    // notifications of what committed before the account's balance was read.
    if (avis.executer("INSERT INTO presence (server, account) VALUES ($1, $2) ON CONFLICT DO NOTHING",
                      {origine, texte(compte)})
        < 0)
        inscrit = false;
}

void PresencePostgres::depart(const QString &compte)
{
    comptes.remove(compte);
    if (avis.executer("DELETE FROM presence WHERE server = $1 AND account = $2", {origine, texte(compte)}) < 0)
        inscrit = false;
}

Grappe::Presence PresencePostgres::chercher(const QString &compte)
{
    const int lignes = avis.executer("SELECT 1 FROM presence JOIN servers ON servers.id = presence.server"
                                     " WHERE presence.account = $1 AND presence.server <> $2"
                                     " AND servers.heartbeat > now() - make_interval(secs => $3) LIMIT 1",
                                     {texte(compte), origine, QByteArray::number(limitePoulsS)});
    if (lignes < 0)
        return Presence::Inconnue;
    return lignes > 0 ? Presence::Ailleurs : Presence::Absent;
}

// This server has already answered the transfers it made itself.
void PresencePostgres::recevoir(const QByteArray &charge)
{
    const auto lu = lireAvis(charge);
    if (!lu) {
        if (!avisIllisibleSignale)
            qWarning() << "ignored a database notification of unknown form";
        avisIllisibleSignale = true;
        return;
    }
    if (lu->origine == origine || !distribuer)
        return;
    distribuer(lu->compte, reponseAvis(*lu));
}
