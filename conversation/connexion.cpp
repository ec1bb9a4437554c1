#include "window/fenclient.h"

#include <QTcpSocket>
#include <QTimer>

void FenClient::on_boutonConnexion_clicked()
{
    journaliserAvis(tr("<em>Connection attempt in progress...</em>"));
    boutonConnexion->setEnabled(false);
    socket->abort();
    // Whatever the old connection left half-read must not be taken as a body on the new one.
    tailleMessage = 0;
    delaiConnexion->start();
    socket->connectToHost(serveurIP->text(), quint16(serveurPort->value()));
}

// The time-out runs on until the server answers the credentials: a server that
// accepts and stays silent would otherwise leave the login hanging.
void FenClient::connecte()
{
    journaliserAvis(tr("<em>Successful connection !</em>"));
    envoyerIdentifiants();
    boutonConnexion->setEnabled(true);
}

void FenClient::envoyerIdentifiants()
{
    envoyerMessage(QStringLiteral("c:") + compte->text() + QLatin1Char(':') + cle);
}

void FenClient::deconnecte()
{
    journaliserAvis(tr("<em>Disconnected from the server</em>"));
}

void FenClient::erreurSocket(QAbstractSocket::SocketError erreur)
{
    delaiConnexion->stop();
    switch (erreur) {
    case QAbstractSocket::ConnectionRefusedError:
        journaliserAvis(tr("<em>ERROR : the server refused the connection. The server may be unavailable. "
                           "Also check the IP and the port.</em>"));
        break;
    case QAbstractSocket::RemoteHostClosedError:
        journaliserAvis(tr("<em>ERROR : the server has cut the connection.</em>"));
        break;
    case QAbstractSocket::HostNotFoundError:
        journaliserAvis(tr("<em>ERROR : the server could not be found. Check the IP and the port.</em>"));
        break;
    default:
        journaliserAvis(tr("<em>ERROR : ") + socket->errorString() + tr("</em>"));
        break;
    }
    boutonConnexion->setEnabled(true);
}

void FenClient::definirDelaiConnexion(int millisecondes)
{
    delaiConnexion->setInterval(millisecondes);
}

// The attempt or the login has outlived its time: it ends as a failed one, with
// the error line of an error that has no text of its own, before the
// disconnection line that closing a made connection adds.
void FenClient::abandonnerTentative()
{
    const QAbstractSocket::SocketState etat = socket->state();
    if (etat == QAbstractSocket::UnconnectedState || etat == QAbstractSocket::ClosingState)
        return;
    journaliserAvis(tr("<em>ERROR : ")
                    + tr("the server did not answer in time. The server may be unavailable. "
                         "Also check the IP and the port.")
                    + tr("</em>"));
    socket->abort();
    boutonConnexion->setEnabled(true);
}
