#include "server/identification.h"

#include "server/banque.h"
#include "server/connexionclient.h"
#include "server/empreinte.h"

#include <QDebug>
#include <QSemaphore>
#include <QThread>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

namespace {

// 1 s after the first wrong key, doubling up to a minute; forgotten after a quiet quarter of an hour.
qint64 delaiVerrou(int echecs)
{
    return qMin<qint64>(qint64(1000) << qMin(echecs - 1, 6), 60000);
}
constexpr qint64 oubliEchecsMs = 15 * 60 * 1000;

// Starts every thread of the pool now and keeps them for good: a thread
// started later needs descriptors, which a server at its limit has none of.
void demarrerTousLesFils(QThreadPool &fils)
{
    fils.setExpiryTimeout(-1);
    const int nombre = fils.maxThreadCount();
    QSemaphore partis;
    QSemaphore tousLa;
    for (int i = 0; i < nombre; ++i) {
        fils.start([&] {
            partis.release();
            tousLa.acquire();
        });
    }
    partis.acquire(nombre);
    tousLa.release(nombre);
    fils.waitForDone();
}

} // namespace

QString avisBaseInjoignable()
{
    return QStringLiteral("i:The server cannot reach its database, please try again later");
}

Identification::Identification(Banque &banque, asio::io_context &contexte, QObject *parent)
    : QObject(parent)
    , banque(banque)
    , contexte(contexte)
{
    horloge.start();
    // A flood of credentials keeps the derivations busy, not the event loop's core.
    calculs.setMaxThreadCount(qMax(1, QThread::idealThreadCount() - 1));
    demarrerTousLesFils(calculs);
}

Identification::~Identification()
{
    // Their results are posted to this object: none may still be running.
    calculs.clear();
    calculs.waitForDone();
}

void Identification::demander(ConnexionClient *connexion, const QString &compte, const QString &cle)
{
    connexion->suspendre();
    QVector<Demande> &file = files[compte];
    file.append(Demande{connexion, connexion->numero(), cle});
    if (file.size() == 1)
        suivante(compte);
}

// Starts checking the first credentials that wait for compte.
void Identification::suivante(const QString &compte)
{
    const auto file = files.find(compte);
    if (file == files.end())
        return;
    while (!file->isEmpty()) {
        const Demande tete = file->constFirst();
        // A connection gone before its turn has nothing to learn.
        if (tete.connexion && !verrouille(compte, tete) && commencer(compte, tete))
            return;
        file->removeFirst();
    }
    files.erase(file);
}

bool Identification::commencer(const QString &compte, const Demande &demande)
{
    QString empreinte;
    qint64 solde = 0;
    const QString cle = demande.cle;
    switch (banque.chercher(compte, &empreinte, &solde)) {
    case Banque::Issue::Fait:
        calculer([cle, empreinte] { return verifierCle(cle, empreinte); },
                 [this, compte](bool juste) { cleVerifiee(compte, juste); });
        return true;
    case Banque::Issue::CompteInconnu:
        calculer([cle] { return empreinteCle(cle); },
                 [this, compte](const QString &nouvelle) { empreinteCalculee(compte, nouvelle); });
        return true;
    default:
        echouer(demande);
        return false;
    }
}

// Runs calcul on a worker thread, then suite with its result on the loop's thread.
template <typename Calcul, typename Suite>
void Identification::calculer(Calcul calcul, Suite suite)
{
    calculs.start([moi = QPointer<Identification>(this), calcul, suite] {
        const auto resultat = calcul();
        asio::post(moi->contexte, [moi, suite, resultat] {
            if (moi)
                suite(resultat);
        });
    });
}

void Identification::cleVerifiee(const QString &compte, bool juste)
{
    const QVector<Demande> concernees = retirerTeteEtMemeCle(compte);
    if (!juste) {
        refuserCle(compte, concernees.first());
        for (int i = 1; i < concernees.size(); ++i)
            verrouille(compte, concernees[i]);
    } else {
        // Read again: money may have come in during the derivation.
        QString empreinte;
        qint64 solde = 0;
        if (banque.chercher(compte, &empreinte, &solde) == Banque::Issue::Fait) {
            echecs.remove(compte);
            for (const Demande &demande : concernees)
                accepter(compte, demande, QStringLiteral("m:") + QString::number(solde));
        } else {
            for (const Demande &demande : concernees)
                echouer(demande);
        }
    }
    suivante(compte);
}

void Identification::empreinteCalculee(const QString &compte, const QString &empreinte)
{
    switch (banque.creer(compte, empreinte)) {
    case Banque::Issue::Cree: {
        const QVector<Demande> concernees = retirerTeteEtMemeCle(compte);
        qInfo().noquote() << QStringLiteral("#%1 account %2 created").arg(concernees.first().numero).arg(compte);
        accepter(compte, concernees.first(), QStringLiteral("n:") + compte);
        for (int i = 1; i < concernees.size(); ++i)
            accepter(compte, concernees[i], QStringLiteral("m:0"));
        break;
    }
    case Banque::Issue::Fait:
        // Another server created it meanwhile: the key is checked against its record.
        break;
    default:
        echouer(retirerTeteEtMemeCle(compte).first());
        break;
    }
    suivante(compte);
}

// The credentials just checked, first, then those waiting with the same key.
QVector<Identification::Demande> Identification::retirerTeteEtMemeCle(const QString &compte)
{
    QVector<Demande> &file = files[compte];
    QVector<Demande> concernees{file.takeFirst()};
    const QByteArray cle = concernees.first().cle.toUtf8();
    for (auto demande = file.begin(); demande != file.end();) {
        if (egalesEnTempsConstant(demande->cle.toUtf8(), cle)) {
            concernees.append(*demande);
            demande = file.erase(demande);
        } else {
            ++demande;
        }
    }
    return concernees;
}

bool Identification::verrouille(const QString &compte, const Demande &demande)
{
    const auto verrou = echecs.constFind(compte);
    const qint64 maintenant = horloge.elapsed();
    if (verrou == echecs.constEnd() || maintenant >= verrou->verrouJusqua)
        return false;
    qInfo().noquote() << QStringLiteral("#%1 account %2 refused: locked after wrong keys")
                             .arg(demande.numero)
                             .arg(compte);
    if (demande.connexion)
        demande.connexion->terminerApres(QStringLiteral("a:"), int(verrou->verrouJusqua - maintenant));
    return true;
}

// Counts even when the connection is gone: closing early must not spare a guess the lock.
void Identification::refuserCle(const QString &compte, const Demande &demande)
{
    const qint64 maintenant = horloge.elapsed();
    Echecs &echec = echecs[compte];
    if (maintenant - echec.dernier > oubliEchecsMs)
        echec.nombre = 0;
    ++echec.nombre;
    echec.dernier = maintenant;
    const qint64 delai = delaiVerrou(echec.nombre);
    echec.verrouJusqua = maintenant + delai;
    qInfo().noquote() << QStringLiteral("#%1 account %2 refused: wrong key (%3 in a row)")
                             .arg(demande.numero)
                             .arg(compte)
                             .arg(echec.nombre);
    if (demande.connexion)
        demande.connexion->terminerApres(QStringLiteral("a:"), int(delai));
}

// reponse: "n:" for the connection that created the account, else "m:".
void Identification::accepter(const QString &compte, const Demande &demande, const QString &reponse)
{
    if (!demande.connexion)
        return;
    if (!reponse.startsWith(QLatin1String("n:")))
        qInfo().noquote() << QStringLiteral("#%1 account %2 authenticated").arg(demande.numero).arg(compte);
    ConnexionClient *connexion = demande.connexion;
    connexion->accepter(compte, demande.cle);
    emit acceptee(connexion);
    connexion->envoyer(reponse);
}

// The database's state is logged once for all the requests it fails. When it
// only refuses to write, this was a new account: known ones still log in.
void Identification::echouer(const Demande &demande)
{
    if (!demande.connexion)
        return;
    demande.connexion->terminer(banque.ecritureRefusee()
                                    ? QStringLiteral("i:The server cannot open new accounts for now,"
                                                     " please try again later")
                                    : avisBaseInjoignable());
}
