#ifndef CLIENTPROTOCOLE_H
#define CLIENTPROTOCOLE_H

// A bare client of the server for the tests: sends requests (or any bytes) and
// collects the replies, unscrambled, with the same codec and frames as the
// real client.

#include "wire/codec.h"
#include "wire/trame.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

class ClientProtocole : public QObject
{
public:
    ClientProtocole()
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] { lire(); });
    }

    bool connecter(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(10000);
    }

    // From another loopback address (127.0.0.2 and so on), as another machine would.
    bool connecterDepuis(const QHostAddress &source, quint16 port)
    {
        return socket.bind(source) && connecter(port);
    }

    // Appends the version tag, as the client does.
    void envoyer(const QString &requete) { envoyerTexte(requete + QLatin1String(":vers101")); }
    void envoyerTexte(const QString &texte) { envoyerOctets(construireTrame(brouiller(texte))); }
    void envoyerOctets(const QByteArray &octets)
    {
        socket.write(octets);
        socket.flush();
    }

    // The reply of rang (0 for the first one ever received), once it has come;
    // a null text if it does not come in time.
    QString reponse(int rang = 0, int delaiMs = 15000)
    {
        (void)QTest::qWaitFor([&] { return reponses.size() > rang; }, delaiMs);
        return reponses.value(rang);
    }

    // Sends the request and returns the reply to it.
    QString demander(const QString &requete, int delaiMs = 15000)
    {
        const int rang = reponses.size();
        envoyer(requete);
        return reponse(rang, delaiMs);
    }

    bool attendreFermeture(int delaiMs = 15000)
    {
        return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, delaiMs);
    }

    bool estConnecte() const { return socket.state() == QAbstractSocket::ConnectedState; }

    // A new connection from the same object, nothing of the last one kept.
    void recommencer()
    {
        socket.abort();
        reponses.clear();
        credits.clear();
        taille = 0;
    }

    // Whether a credit has been told, as "r:AMOUNT:QoVi$", once it has come.
    bool attendreCredit(const QString &avis, int delaiMs = 15000)
    {
        return QTest::qWaitFor([&] { return credits.contains(avis); }, delaiMs);
    }

    QTcpSocket socket;
    QStringList reponses;
    // Credits come whenever the administrator makes them: kept apart, so that
    // the replies to requests keep their ranks.
    QStringList credits;

private:
    void lire()
    {
        QByteArray corps;
        while (prendreCorpsTrame(socket, taille, corps)) {
            const QString texte = debrouiller(lireTexteTrame(corps));
            if (texte.startsWith(QLatin1String("r:")) && texte.endsWith(QLatin1String(":QoVi$")))
                credits.append(texte);
            else
                reponses.append(texte);
        }
    }

    quint16 taille = 0;
};

// Accounts and keys that the server tests use.
inline const QString compteA = QStringLiteral("0123456789AB");
inline const QString compteB = QStringLiteral("00AABBCCDDEE");
inline const QString compteC = QStringLiteral("C0FFEE000001");
inline const QString cleA = QStringLiteral("11111222223333344444");
inline const QString cleB = QStringLiteral("55555666667777788888");
inline const QString cleC = QStringLiteral("12345678901234567890");

// A frame around any body, well-formed or not.
inline QByteArray trameBrute(const QByteArray &corps)
{
    Q_ASSERT(corps.size() <= 0xFFFF);
    const quint16 taille = quint16(corps.size());
    return QByteArray(1, char(taille >> 8)) + char(taille & 0xFF) + corps;
}

// The credentials request of an account.
inline QString identifiants(const QString &compte, const QString &cle)
{
    return QStringLiteral("c:%1:%2").arg(compte, cle);
}

// Connects client to the server on port and sends the credentials; true when
// the server answers attendu.
inline bool identifierClient(ClientProtocole &client, quint16 port, const QString &compte, const QString &cle,
                             const QString &attendu)
{
    if (!client.connecter(port))
        return false;
    const QString reponse = client.demander(identifiants(compte, cle));
    if (reponse == attendu)
        return true;
    qWarning() << "credentials of" << compte << "got" << reponse << "instead of" << attendu;
    return false;
}

// As a user told that the server is busy checking keys would do: connects and
// sends the credentials again, a moment later, until attendu comes or delaiMs.
inline bool identifierEnInsistant(ClientProtocole &client, quint16 port, const QString &compte, const QString &cle,
                                  const QString &attendu, int delaiMs = 15000)
{
    const QDeadlineTimer fin(delaiMs);
    for (;;) {
        client.recommencer();
        if (!client.connecter(port))
            return false;
        const QString reponse = client.demander(identifiants(compte, cle));
        if (reponse == attendu)
            return true;
        if (!reponse.startsWith(QLatin1String("i:Too many keys are being checked")) || fin.hasExpired()) {
            qWarning() << "credentials of" << compte << "got" << reponse << "instead of" << attendu;
            return false;
        }
        // The user's press on the button again: a pause, not a wait for an event.
        QTest::qWait(250);
    }
}

#endif
