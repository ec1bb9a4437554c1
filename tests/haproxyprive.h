#ifndef HAPROXYPRIVE_H
#define HAPROXYPRIVE_H

// HAProxy for the tests, with the shipped configuration
// (packaging/haproxy/qovi-server.cfg) and the ports of the servers under test.

#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <unistd.h>

inline QString programmeHaproxy()
{
    // Debian puts it in /usr/sbin, which a plain user's PATH may lack.
    const QString trouve = QStandardPaths::findExecutable(QStringLiteral("haproxy"));
    if (!trouve.isEmpty())
        return trouve;
    return QStandardPaths::findExecutable(QStringLiteral("haproxy"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
}

// A port nobody listens on now: taken from the system, then let go for HAProxy.
inline quint16 portLibre()
{
    QTcpServer essai;
    if (!essai.listen(QHostAddress::LocalHost, 0))
        return 0;
    return essai.serverPort();
}

// Whether something listens on 127.0.0.1:port (a line of /proc/net/tcp in state LISTEN).
inline bool ecouteSur(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = QByteArrayLiteral("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &ligne : table.readAll().split('\n')) {
        const QList<QByteArray> champs = ligne.simplified().split(' ');
        if (champs.size() > 3 && champs.at(1) == local && champs.at(3) == "0A")
            return true;
    }
    return false;
}

// The shipped configuration, listening on portFrontal and sending to ports,
// each server's health checked on its monitor port (portsSurveillance, same
// order). Only root may switch to HAProxy's user: others keep their own.
inline QString configurationAvec(const QString &modele, quint16 portFrontal, const QList<quint16> &ports,
                                 const QList<quint16> &portsSurveillance)
{
    QStringList lignes;
    const QRegularExpression ligneServeur(QStringLiteral("^(\\s*server qovi(\\d+)) \\S+(.*)$"));
    const QRegularExpression portSante(QStringLiteral("\\bcheck port \\d+"));
    const QRegularExpression ligneBind(QStringLiteral("^(\\s*bind) \\S+(.*)$"));
    const QRegularExpression ligneUtilisateur(QStringLiteral("^\\s*(user|group|chroot)\\s"));
    for (const QString &ligne : modele.split(QLatin1Char('\n'))) {
        if (geteuid() != 0 && ligneUtilisateur.match(ligne).hasMatch())
            continue;
        const auto serveur = ligneServeur.match(ligne);
        if (serveur.hasMatch()) {
            const int rang = serveur.captured(2).toInt() - 1;
            if (rang < 0 || rang >= ports.size())
                continue;
            QString reste = serveur.captured(3);
            reste.replace(portSante, QStringLiteral("check port %1").arg(portsSurveillance.value(rang)));
            lignes << QStringLiteral("%1 127.0.0.1:%2%3").arg(serveur.captured(1)).arg(ports.at(rang)).arg(reste);
            continue;
        }
        const auto bind = ligneBind.match(ligne);
        if (bind.hasMatch()) {
            lignes << QStringLiteral("%1 127.0.0.1:%2%3").arg(bind.captured(1)).arg(portFrontal).arg(bind.captured(2));
            continue;
        }
        lignes << ligne;
    }
    return lignes.join(QLatin1Char('\n'));
}

#endif
