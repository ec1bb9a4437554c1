#include "window/fenclient.h"

#include "wire/codec.h"
#include "wire/trame.h"

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
    // Before the connection is made there is no session: a request made then is
    // lost, rather than queued ahead of the credentials.
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    socket->write(trame);
}
