#include "server/connexionclient.h"

#include "codec/codec.h"
#include "conversation/trame.h"
#include "server/empreinte.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace {

// Replies pile up here only for a client that does not read them.
constexpr qint64 maxEnAttenteEnvoi = 64 * 1024;
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
{
    socket->setParent(this);
    // Bounds what a client can make us buffer while its requests wait.
    socket->setReadBufferSize(4 * (tailleMaxCorps + 2));
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
                             .arg(socket->peerAddress().toString())
                             .arg(socket->peerPort());
    // Bytes may have arrived before this object was listening.
    if (socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &ConnexionClient::donneesRecues);
}

bool ConnexionClient::cleEgale(const QString &autre) const
{
    return egalesEnTempsConstant(cle.toUtf8(), autre.toUtf8());
}

void ConnexionClient::accepter(const QString &numeroCompte, const QString &cleAcceptee)
{
    compte = numeroCompte;
    cle = cleAcceptee;
    minuterieIdentification.stop();
}

void ConnexionClient::envoyer(const QString &reponse)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    socket->write(construireTrame(brouiller(reponse)));
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
    while (ouverte) {
        QByteArray corps;
        const bool complete = prendreCorpsTrame(*socket, tailleAttendue, corps);
        if (tailleAttendue > tailleMaxCorps || corps.size() > tailleMaxCorps) {
            qInfo().noquote() << QStringLiteral("#%1 sent an oversized frame").arg(identifiant);
            terminer(QStringLiteral("i:The request is too long"));
            return;
        }
        if (!complete) {
            if ((tailleAttendue > 0 || socket->bytesAvailable() > 0) && !minuterieTrame.isActive())
                minuterieTrame.start();
            return;
        }
        minuterieTrame.stop();
        emit requeteRecue(analyserRequete(debrouiller(lireTexteTrame(corps))));
    }
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
