#include "wire/trame.h"

#include <QDataStream>
#include <QIODevice>

QByteArray construireTrame(const QString &texte)
{
    if (texte.size() > tailleMaxTexteTrame)
        return QByteArray();

    QByteArray trame;
    QDataStream sortie(&trame, QIODevice::WriteOnly);
    sortie << quint16(0) << texte;
    sortie.device()->seek(0);
    sortie << quint16(trame.size() - 2);
    return trame;
}

bool prendreCorpsTrame(QIODevice &source, quint16 &tailleAttendue, QByteArray &corps)
{
    if (tailleAttendue == 0) {
        if (source.bytesAvailable() < 2)
            return false;
        QDataStream entree(&source);
        entree >> tailleAttendue;
    }
    if (source.bytesAvailable() < tailleAttendue)
        return false;

    corps = source.read(tailleAttendue);
    tailleAttendue = 0;
    return true;
}

QString lireTexteTrame(const QByteArray &corps)
{
    QDataStream entree(corps);
    QString texte;
    entree >> texte;
    if (entree.status() != QDataStream::Ok || !entree.atEnd())
        return QString();
    return texte;
}
