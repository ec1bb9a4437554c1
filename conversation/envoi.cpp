#include "window/fenclient.h"

#include "codec/codec.h"
#include "conversation/trame.h"

#include <QTcpSocket>

void FenClient::envoyerMessage(QString message)
{
    message += QLatin1String(":vers101");
    const QByteArray trame = construireTrame(brouiller(message));
    if (trame.isEmpty()) {
        // A wrong length would corrupt the stream for every later frame.
        journaliserAvis(tr("<em>ERROR : ") + QStringLiteral("the request is too long to be sent") + tr("</em>"));
        return;
    }
    if (socket->state() == QAbstractSocket::UnconnectedState)
        return; // nothing to send it on: the request is lost, as with any unconnected socket
    socket->write(trame);
}
