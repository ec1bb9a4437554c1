#include "server/acces/creationscomptes.h"

#include "server/banque/banque.h"
#include "server/banque/schemacreations.h"

#include <QDateTime>
#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>

namespace {

// Memory for the counters stays bounded whatever the number of sources.
constexpr int maxSourcesSuivies = 65536;
// Rows of forgotten addresses are dropped this often, by whichever server counts.
constexpr qint64 elagageMs = 60 * 1000;

qint64 periode(int parMinute)
{
    return 60000 / parMinute;
}

} // namespace

CreationsComptes::CreationsComptes(int parMinute)
    : parMinute(qMax(1, parMinute))
    , memoire(maxSourcesSuivies, periode(this->parMinute))
{
    monotone.start();
}

void CreationsComptes::limiter(int nombre)
{
    parMinute = qMax(1, nombre);
    memoire.changerPeriode(periode(parMinute));
}

bool CreationsComptes::admettre(Banque &banque, const QString &source)
{
    const qint64 instant = monotone.elapsed();
    if (memoire.nombre(source, instant) >= parMinute)
        return false;
    // Shared by the servers: the wall clock, not the process's own.
    const qint64 maintenant = QDateTime::currentMSecsSinceEpoch();
    if (compterEnBase(banque, source, maintenant) == Compte::Refusee)
        return false;
    memoire.compter(source, instant);
    elaguer(banque, maintenant);
    return true;
}

CreationsComptes::Compte CreationsComptes::compterEnBase(Banque &banque, const QString &source, qint64 maintenant)
{
    if (banque.estPerdue())
        return Compte::EnPanne;
    QSqlQuery requete(banque.connexion());
    requete.setForwardOnly(true);
    if (!requete.prepare(instructionCompterCreation(periode(parMinute), parMinute)))
        return echouer(banque, requete);
    requete.addBindValue(source);
    requete.addBindValue(maintenant + periode(parMinute));
    requete.addBindValue(maintenant);
    if (!requete.exec())
        return echouer(banque, requete);
    const bool comptee = requete.next();
    if (enPanne) {
        enPanne = false;
        qInfo("new accounts are counted in the database again");
    }
    return comptee ? Compte::Admise : Compte::Refusee;
}

void CreationsComptes::elaguer(Banque &banque, qint64 maintenant)
{
    if (maintenant - dernierElagage < elagageMs)
        return;
    dernierElagage = maintenant;
    QSqlQuery oubli(banque.connexion());
    if (!oubli.prepare(instructionOublierCreations())) {
        echouer(banque, oubli);
        return;
    }
    oubli.addBindValue(maintenant);
    if (!oubli.exec())
        echouer(banque, oubli);
}

// Once when the count stops working, once when it works again; a lost
// connection is the bank's to tell.
CreationsComptes::Compte CreationsComptes::echouer(Banque &banque, const QSqlQuery &requete)
{
    banque.signalerEchec(requete.lastError());
    if (enPanne || banque.estPerdue())
        return Compte::EnPanne;
    enPanne = true;
    qWarning().noquote() << QStringLiteral("new accounts cannot be counted in the database, each server "
                                           "counts its own until they can: %1")
                                .arg(requete.lastError().text().simplified());
    return Compte::EnPanne;
}
