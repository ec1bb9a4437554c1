#include "window/fenclient.h"

#include <QTcpSocket>

void FenClient::on_boutonConnexion_clicked()
{
    journaliserAvis(tr("<em>Connection attempt in progress...</em>"));
    boutonConnexion->setEnabled(false);
    socket->abort();
    // Whatever the old connection left half-read must not be taken as a body on the new one.
    tailleMessage = 0;
    socket->connectToHost(serveurIP->text(), quint16(serveurPort->value()));
}

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
