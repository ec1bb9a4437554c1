#include "server/connexionclient.h"

#include "codec/codec.h"
#include "conversation/trame.h"
#include "server/empreinte.h"

#include <QBuffer>
#include <QHostAddress>
#include <QTcpSocket>

namespace {

// Replies pile up here only for a client that does not read them.
constexpr qint64 maxEnAttenteEnvoi = 64 * 1024;
// What a client can make us buffer while its requests wait: in the socket,
// then here, where a frame cut in two always finds room for all the socket holds.
constexpr qint64 tailleTamponSocket = 4 * (tailleMaxCorps + 2);
constexpr qint64 tailleMaxEntree = 2 * tailleTamponSocket;
constexpr int delaiFermetureMs = 5000;

int prochainNumero()
{
    static int compteur = 0;
    return ++compteur;
}

} // namespace

ConnexionClient::ConnexionClient(QTcpSocket *socket, int delaiMs, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , identifiant(prochainNumero())
    , adresse(socket->peerAddress().toString())
{
    socket->setParent(this);
    socket->setReadBufferSize(tailleTamponSocket);
    // Replies are small and sent at once: held back until the previous one is
    // acknowledged, they would wait for the client's delayed acknowledgement (40 ms).
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, &ConnexionClient::donneesRecues);
    connect(socket, &QTcpSocket::disconnected, this, &ConnexionClient::deconnectee);

    minuterieIdentification.setSingleShot(true);
    minuterieTrame.setSingleShot(true);
    minuterieFermeture.setSingleShot(true);
    connect(&minuterieIdentification, &QTimer::timeout, this, &ConnexionClient::identificationTropLongue);
    connect(&minuterieTrame, &QTimer::timeout, this, &ConnexionClient::trameInachevee);
    connect(&minuterieFermeture, &QTimer::timeout, socket, &QTcpSocket::abort);
    minuterieIdentification.start(delaiMs);
    minuterieTrame.setInterval(delaiMs);

    qInfo().noquote() << QStringLiteral("#%1 connection from %2 port %3")
                             .arg(identifiant)
                             .arg(adresse)
                             .arg(socket->peerPort());
    // Bytes may have arrived before this object was listening.
    if (socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &ConnexionClient::donneesRecues);
}

bool ConnexionClient::cleEgale(const QString &autre) const
{
    return egalesEnTempsConstant(cle.toUtf8(), autre.toUtf8());
}

void ConnexionClient::suspendre()
{
    suspendue = true;
    minuterieIdentification.stop();
}

void ConnexionClient::reprendre()
{
    suspendue = false;
    // In a later turn: the caller may still be answering the last request.
    if (ouverte)
        QTimer::singleShot(0, this, &ConnexionClient::donneesRecues);
}

void ConnexionClient::accepter(const QString &numeroCompte, const QString &cleAcceptee)
{
    compte = numeroCompte;
    cle = cleAcceptee;
    minuterieIdentification.stop();
    reprendre();
}

void ConnexionClient::envoyer(const QString &reponse)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    socket->write(construireTrame(brouiller(reponse)));
    // Sent now rather than at the next turn of the event loop.
    socket->flush();
    if (socket->bytesToWrite() > maxEnAttenteEnvoi) {
        qInfo().noquote() << QStringLiteral("#%1 does not read its replies, connection cut").arg(identifiant);
        socket->abort();
    }
}

void ConnexionClient::terminer(const QString &reponse)
{
    ouverte = false;
    minuterieIdentification.stop();
    minuterieTrame.stop();
    if (!reponse.isEmpty())
        envoyer(reponse);
    // A client that does not take the last reply is cut after a while.
    minuterieFermeture.start(delaiFermetureMs);
    socket->disconnectFromHost();
}

void ConnexionClient::terminerApres(const QString &reponse, int delaiMs)
{
    ouverte = false;
    minuterieIdentification.stop();
    minuterieTrame.stop();
    QTimer::singleShot(delaiMs, this, [this, reponse] { terminer(reponse); });
}

void ConnexionClient::donneesRecues()
{
    while (ouverte && !suspendue) {
        QByteArray corps;
        const bool complete = prendreTrame(corps);
        if (tailleAttendue > tailleMaxCorps || corps.size() > tailleMaxCorps) {
            qInfo().noquote() << QStringLiteral("#%1 sent an oversized frame").arg(identifiant);
            terminer(QStringLiteral("i:The request is too long"));
            return;
        }
        if (!complete) {
            if ((tailleAttendue > 0 || !entree.isEmpty()) && !minuterieTrame.isActive())
                minuterieTrame.start();
            return;
        }
        minuterieTrame.stop();
        emit requeteRecue(analyserRequete(debrouiller(lireTexteTrame(corps))));
    }
}

// Frames are taken from a buffer of our own: a socket whose buffer filled up
// (while requests waited) reads again only once its buffer is read empty, and
// a frame left cut in two in it would never be completed.
bool ConnexionClient::prendreTrame(QByteArray &corps)
{
    const qint64 place = qMin(socket->bytesAvailable(), tailleMaxEntree - entree.size());
    if (place > 0)
        entree += socket->read(place);
    QBuffer tampon(&entree);
    tampon.open(QIODevice::ReadOnly);
    const bool complete = prendreCorpsTrame(tampon, tailleAttendue, corps);
    entree.remove(0, int(tampon.pos()));
    // An idle connection keeps no buffer.
    if (entree.isEmpty())
        entree.clear();
    return complete;
}

void ConnexionClient::deconnectee()
{
    ouverte = false;
    minuterieFermeture.stop();
    qInfo().noquote() << QStringLiteral("#%1 closed").arg(identifiant);
    emit fermee();
    deleteLater();
}

void ConnexionClient::identificationTropLongue()
{
    qInfo().noquote() << QStringLiteral("#%1 sent no credentials in time").arg(identifiant);
    terminer(QStringLiteral("i:No credentials were received in time"));
}

void ConnexionClient::trameInachevee()
{
    qInfo().noquote() << QStringLiteral("#%1 left a frame unfinished").arg(identifiant);
    terminer(QStringLiteral("i:The request was not completed in time"));
}
