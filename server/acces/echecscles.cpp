#include "server/acces/echecscles.h"

#include "server/banque/banque.h"
#include "server/banque/schemaechecs.h"

#include <QDateTime>
#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>

#include <limits>

namespace {

// Memory for the counters stays bounded whatever the number of sources.
constexpr int maxSourcesSuivies = 65536;
// A wrong key weighs on its account and address for a quarter of an hour.
constexpr qint64 oubliEchecMs = 15 * 60 * 1000;
// Rows of forgotten sources are dropped this often, and at most this many are kept.
constexpr qint64 elagageMs = 60 * 1000;
constexpr int maxLignes = 3 * maxSourcesSuivies;

// Shared by the servers and kept across restarts: the wall clock, not the process's own.
qint64 horloge()
{
    return QDateTime::currentMSecsSinceEpoch();
}

int restants(qint64 videA, qint64 maintenant)
{
    return videA > maintenant ? int((videA - maintenant + oubliEchecMs - 1) / oubliEchecMs) : 0;
}

QString cleCompte(const QString &compte)
{
    return QLatin1String("a ") + compte;
}

QString cleSource(const QString &source)
{
    return QLatin1String("s ") + source;
}

} // namespace

EchecsCles::EchecsCles()
    : comptes(maxSourcesSuivies, oubliEchecMs)
    , sources(maxSourcesSuivies, oubliEchecMs)
{
    monotone.start();
}

EchecsCles::Refus EchecsCles::compter(Banque &banque, const QString &compte, const QString &source)
{
    const qint64 instant = monotone.elapsed();
    Refus refus{comptes.compter(compte, instant), sources.compter(source, instant), 0};
    const QString cles[2] = {cleCompte(compte), cleSource(source)};
    qint64 videA[2] = {0, 0};
    const qint64 maintenant = horloge();
    if (!ecrire(banque, cles, maintenant, videA)) {
        // The other servers will not know of it: it waits as long as any.
        refus.delaiMs = delaiApresEchecs(std::numeric_limits<int>::max());
        return refus;
    }
    refus.parCompte = qMax(refus.parCompte, restants(videA[0], maintenant));
    refus.parSource = qMax(refus.parSource, restants(videA[1], maintenant));
    refus.delaiMs = delaiApresEchecs(qMax(refus.parCompte, refus.parSource));
    elaguer(banque, maintenant);
    return refus;
}

bool EchecsCles::ecrire(Banque &banque, const QString cles[2], qint64 maintenant, qint64 videA[2])
{
    if (banque.estPerdue())
        return false;
    QSqlQuery requete(banque.connexion());
    requete.setForwardOnly(true);
    if (!requete.prepare(instructionCompterEchecs(oubliEchecMs)))
        return echouer(banque, requete);
    for (int i = 0; i < 2; ++i) {
        requete.addBindValue(cles[i]);
        requete.addBindValue(maintenant + oubliEchecMs);
        requete.addBindValue(maintenant);
    }
    if (!requete.exec())
        return echouer(banque, requete);
    int lues = 0;
    while (requete.next()) {
        const QString source = requete.value(0).toString();
        for (int i = 0; i < 2; ++i) {
            if (source == cles[i]) {
                videA[i] = requete.value(1).toLongLong();
                ++lues;
            }
        }
    }
    reussir();
    return lues == 2;
}

// Not more than once a minute, by whichever server counts a wrong key.
void EchecsCles::elaguer(Banque &banque, qint64 maintenant)
{
    if (maintenant - dernierElagage < elagageMs)
        return;
    dernierElagage = maintenant;
    QSqlQuery oubli(banque.connexion());
    if (!oubli.prepare(instructionOublierEchecs())) {
        echouer(banque, oubli);
        return;
    }
    oubli.addBindValue(maintenant);
    if (!oubli.exec()) {
        echouer(banque, oubli);
        return;
    }
    QSqlQuery borne(banque.connexion());
    if (!borne.prepare(instructionBornerEchecs())) {
        echouer(banque, borne);
        return;
    }
    borne.addBindValue(maxLignes);
    if (!borne.exec())
        echouer(banque, borne);
}

// Once when the counters stop working, once when they work again; a lost
// connection is the bank's to tell.
bool EchecsCles::echouer(Banque &banque, const QSqlQuery &requete)
{
    banque.signalerEchec(requete.lastError());
    if (enPanne || banque.estPerdue())
        return false;
    enPanne = true;
    qWarning().noquote() << QStringLiteral("wrong keys cannot be counted in the database, each is answered after "
                                           "the longest delay until they can: %1")
                                .arg(requete.lastError().text().simplified());
    return false;
}

void EchecsCles::reussir()
{
    if (!enPanne)
        return;
    enPanne = false;
    qInfo("wrong keys are counted in the database again");
}
