#include "server/grappe/presencepostgres.h"

#include "server/banque/postgres.h"
#include "server/banque/schemagrappe.h"
#include "server/grappe/avis.h"
#include "server/mesures/mesures.h"

#include <QDebug>
#include <QStringList>

namespace {

// Servers silent this long are taken away with their rows, by whichever
// server beats first: well past the bound, so that a server that was only
// slow finds its row again (and writes it back) before it goes.
constexpr int oubliMortsS = 60;
constexpr int battementsEntreNettoyages = 5;
// Ids seen or made here are kept this many back: a transaction holds its id
// for at most a statement's deadline, far fewer ids than this at any rate.
constexpr int faitsIciGardes = 4096;
// The maxima read at the heartbeats become the floor of what is read again
// this many heartbeats later, once every id below them is committed or gone.
constexpr int relevesEnAttente = 2;

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
    avis.surConnexion = [this] { connectee(); };
    avis.demarrer();
    pouls.demarrer(intervallePoulsMs);
}

PresencePostgres::~PresencePostgres()
{
    avis.executerMaintenant("DELETE FROM servers WHERE id = $1", {origine});
}

void PresencePostgres::connectee()
{
    // What comes from now on follows what was missed.
    enRattrapage = dejaConnectee;
    inscrire();
    if (!dejaConnectee) {
        premierReleve();
        return;
    }
    // Every heartbeat may be old after a pause of the database (see chercher).
    reconnexion.start();
    rattraper();
}

// What was committed before the first connection is in the balances that
// the clients read when they log in.
void PresencePostgres::premierReleve()
{
    lireMaxima([this](const std::optional<QPair<qint64, qint64>> &releve) {
        if (!releve)
            return;
        virements.avancer(releve->first);
        credits.avancer(releve->second);
        dejaConnectee = true;
    });
}

void PresencePostgres::lireMaxima(std::function<void(const std::optional<QPair<qint64, qint64>> &)> suite)
{
    avis.executer("SELECT (SELECT COALESCE(MAX(id), 0) FROM transfers), (SELECT COALESCE(MAX(id), 0) FROM credits)",
                  {}, [suite](int nombre, const AvisBase::Lignes &lignes) {
                      if (nombre != 1 || lignes[0].size() != 2)
                          suite(std::nullopt);
                      else
                          suite(qMakePair(lignes[0][0].toLongLong(), lignes[0][1].toLongLong()));
                  });
}

void PresencePostgres::Suivi::avancer(qint64 jusqua)
{
    plancher = qMax(plancher, jusqua);
    vus.erase(vus.begin(), vus.upper_bound(plancher));
}

// The money committed while the notifications could not be heard, for the
// accounts connected here since before the loss, in the order it was made.
// The notifications that come meanwhile wait, so that they follow it.
void PresencePostgres::rattraper()
{
    QStringList liste;
    for (const QString &compte : qAsConst(comptes)) {
        if (!arrivesHorsLigne.contains(compte))
            liste.append(compte);
    }
    arrivesHorsLigne.clear();
    const QByteArray tableau = '{' + texte(liste.join(QLatin1Char(','))) + '}';
    avis.executer("SELECT kind, id, recipient, amount, sender FROM ("
                  " SELECT 't' AS kind, id, recipient, amount, sender, created_at FROM transfers"
                  " WHERE id > CAST($1 AS BIGINT) AND recipient = ANY (CAST($3 AS TEXT[]))"
                  " UNION ALL SELECT 'c', id, account, amount, '', created_at FROM credits"
                  " WHERE id > CAST($2 AS BIGINT) AND account = ANY (CAST($3 AS TEXT[]))) AS manques"
                  " ORDER BY created_at, kind DESC, id",
                  {QByteArray::number(virements.plancher), QByteArray::number(credits.plancher), tableau},
                  [this](int, const AvisBase::Lignes &lignes) { rattrape(lignes); });
}

void PresencePostgres::rattrape(const AvisBase::Lignes &lignes)
{
    enRattrapage = false;
    for (const auto &ligne : lignes) {
        AvisArgent manque;
        manque.genre = ligne.value(0) == "c" ? AvisArgent::Genre::Credit : AvisArgent::Genre::Virement;
        manque.numero = ligne.value(1).toLongLong();
        manque.compte = QString::fromLatin1(ligne.value(2));
        manque.montant = ligne.value(3).toLongLong();
        manque.source = QString::fromLatin1(ligne.value(4));
        if (!suivi(manque.genre).vus.insert(manque.numero).second)
            continue;
        if (manque.genre == AvisArgent::Genre::Virement && faitsIci.removeOne(cleFaitIci(manque)))
            continue;
        rattraperAvis(manque);
    }
    const QList<QByteArray> attente = std::exchange(enSuspens, {});
    for (const QByteArray &charge : attente)
        recevoir(charge);
}

// Every notice told again after a loss goes out here.
void PresencePostgres::rattraperAvis(const AvisArgent &manque)
{
    if (distribuer)
        distribuer(manque.compte, reponseAvis(manque));
    compterAvisRejoues();
}

void PresencePostgres::prevuIci(const QString &destinataire, qint64 montant, const QString &source)
{
    faitsIci.append(cleFaitIci(destinataire, montant, source));
    if (faitsIci.size() > faitsIciGardes)
        faitsIci.removeFirst();
}

void PresencePostgres::renonceIci(const QString &destinataire, qint64 montant, const QString &source)
{
    faitsIci.removeOne(cleFaitIci(destinataire, montant, source));
}

QString PresencePostgres::cleFaitIci(const QString &destinataire, qint64 montant, const QString &source)
{
    return destinataire + QLatin1Char(':') + QString::number(montant) + QLatin1Char(':') + source;
}

QString PresencePostgres::cleFaitIci(const AvisArgent &avis)
{
    return cleFaitIci(avis.compte, avis.montant, avis.source);
}

PresencePostgres::Suivi &PresencePostgres::suivi(AvisArgent::Genre genre)
{
    return genre == AvisArgent::Genre::Credit ? credits : virements;
}

// After each (re)connection, or when the server's row was gone: the server
// and the accounts connected here are written (back), and the accounts that
// left while the database could not hear it are taken away, in one statement.
void PresencePostgres::inscrire()
{
    avis.executer("INSERT INTO servers (id) VALUES ($1) ON CONFLICT (id) DO UPDATE SET heartbeat = now()", {origine},
                  [this](int nombre, const AvisBase::Lignes &) {
                      inscrit = nombre == 1;
                      if (inscrit)
                          inscrireComptes();
                  });
}

void PresencePostgres::inscrireComptes()
{
    // Account numbers are hexadecimal digits: nothing to quote in the array.
    const QStringList liste(comptes.cbegin(), comptes.cend());
    const QByteArray tableau = '{' + texte(liste.join(QLatin1Char(','))) + '}';
    avis.executer("WITH partis AS (DELETE FROM presence WHERE server = $1"
                  " AND NOT (account = ANY (CAST($2 AS TEXT[]))))"
                  " INSERT INTO presence (server, account) SELECT $1, unnest(CAST($2 AS TEXT[]))"
                  " ON CONFLICT DO NOTHING",
                  {origine, tableau}, [this](int nombre, const AvisBase::Lignes &) { inscrit = nombre >= 0; });
}

void PresencePostgres::battre()
{
    pouls.demarrer(intervallePoulsMs);
    if (!avis.estConnectee())
        return;  // inscrire follows the reconnection
    if (!inscrit) {
        inscrire();
    } else {
        avis.executer("UPDATE servers SET heartbeat = now() WHERE id = $1", {origine},
                      [this](int nombre, const AvisBase::Lignes &) {
                          if (nombre == 0)
                              inscrire();
                      });
    }
    if (++battements % battementsEntreNettoyages == 0)
        avis.executer("DELETE FROM servers WHERE heartbeat < (SELECT MAX(heartbeat) FROM servers)"
                      " - make_interval(secs => $1)",
                      {QByteArray::number(oubliMortsS)}, [](int, const AvisBase::Lignes &) {});
    if (!dejaConnectee)
        return;
    lireMaxima([this](const std::optional<QPair<qint64, qint64>> &releve) {
        if (!releve)
            return;
        releves.append(*releve);
        if (releves.size() <= relevesEnAttente)
            return;
        const auto plancher = releves.takeFirst();
        virements.avancer(plancher.first);
        credits.avancer(plancher.second);
    });
}

void PresencePostgres::arrivee(const QString &compte, std::function<void()> suite)
{
    comptes.insert(compte);
    // Its balance, read now, holds what the notifications missed meanwhile.
    if (!avis.estConnectee())
        arrivesHorsLigne.insert(compte);
    // Run even for an account already written: its round trip hands out the
    // notifications of what committed before the account's balance was read.
    avis.executer("INSERT INTO presence (server, account) VALUES ($1, $2) ON CONFLICT DO NOTHING",
                  {origine, texte(compte)}, [this, compte, suite](int nombre, const AvisBase::Lignes &) {
                      if (nombre < 0) {
                          inscrit = false;
                          if (comptes.contains(compte))
                              arrivesHorsLigne.insert(compte);
                      }
                      suite();
                  });
}

void PresencePostgres::depart(const QString &compte)
{
    comptes.remove(compte);
    arrivesHorsLigne.remove(compte);
    avis.executer("DELETE FROM presence WHERE server = $1 AND account = $2", {origine, texte(compte)},
                  [this](int nombre, const AvisBase::Lignes &) {
                      if (nombre < 0)
                          inscrit = false;
                  });
}

// A heartbeat is old against the database's clock; but a pause of the
// database leaves every heartbeat behind it. Until the others could renew
// theirs after this server's own reconnection, a heartbeat is old only
// against the newest of the others'.
void PresencePostgres::chercher(const QString &compte, std::function<void(Presence)> suite)
{
    const bool apresReprise = reconnexion.isValid() && reconnexion.elapsed() < limitePoulsS * 1000;
    avis.executer("SELECT 1 FROM presence JOIN servers ON servers.id = presence.server"
                  " WHERE presence.account = $1 AND presence.server <> $2"
                  " AND servers.heartbeat > (CASE WHEN CAST($4 AS BOOLEAN)"
                  " THEN (SELECT MAX(heartbeat) FROM servers WHERE id <> $2) ELSE now() END)"
                  " - make_interval(secs => $3) LIMIT 1",
                  {texte(compte), origine, QByteArray::number(limitePoulsS),
                   apresReprise ? QByteArray("true") : QByteArray("false")},
                  [suite](int lignes, const AvisBase::Lignes &) {
                      if (lignes < 0)
                          suite(Presence::Inconnue);
                      else
                          suite(lignes > 0 ? Presence::Ailleurs : Presence::Absent);
                  });
}

// This server has already answered the transfers it made itself.
void PresencePostgres::recevoir(const QByteArray &charge)
{
    if (enRattrapage) {
        enSuspens.append(charge);
        return;
    }
    const auto lu = lireAvis(charge);
    if (!lu) {
        if (!avisIllisibleSignale)
            qWarning() << "ignored a database notification of unknown form";
        avisIllisibleSignale = true;
        return;
    }
    // Told once, whether it came first as a notification or read again.
    if (!suivi(lu->genre).vus.insert(lu->numero).second)
        return;
    if (lu->origine == origine) {
        faitsIci.removeOne(cleFaitIci(*lu));
        return;
    }
    if (distribuer)
        distribuer(lu->compte, reponseAvis(*lu));
}
