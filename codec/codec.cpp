#include "codec/codec.h"

#include <QRandomGenerator>

namespace {

ushort octetBas(QChar unite)
{
    return unite.unicode() & 0xFF;
}

} // namespace

QString brouiller(QString texte)
{
    return complementer(melanger(complementer(texte)));
}

QString debrouiller(QString texte)
{
    return complementer(demelanger(complementer(texte)));
}

QString complementer(QString texte)
{
    QString resultat(texte.size(), Qt::Uninitialized);
    QChar *sortie = resultat.data();
    for (const QChar unite : qAsConst(texte))
        *sortie++ = QChar(ushort((0x7F - octetBas(unite)) & 0xFF));
    return resultat;
}

QString melanger(QString texte)
{
    QRandomGenerator *hasard = QRandomGenerator::global();
    QString resultat;
    resultat.reserve(texte.size() * 4);
    for (const QChar unite : qAsConst(texte)) {
        const ushort r = ushort(hasard->bounded(128));
        const int somme = r + unite.unicode();
        if (somme > 999) {
            // Only a unit above U+00FF, which brouiller never passes, gets here.
            resultat.append(QChar(r));
            resultat.append(QString::number(somme));
            continue;
        }
        const QChar groupe[4] = {QChar(r), QChar(ushort('0' + somme / 100)),
                                 QChar(ushort('0' + somme / 10 % 10)), QChar(ushort('0' + somme % 10))};
        resultat.append(groupe, 4);
    }
    return resultat;
}

QString demelanger(QString texte)
{
    const int longueur = texte.size();
    QString resultat;
    resultat.reserve((longueur + 3) / 4);
    for (int debut = 0; debut < longueur; debut += 4) {
        const int r = octetBas(texte.at(debut));
        // A group cut short by the end of the text is padded with U+0000,
        // which makes the digits unreadable: the number then counts as 0.
        QString chiffres(3, QChar(0));
        for (int i = 1; i <= 3 && debut + i < longueur; ++i)
            chiffres[i - 1] = texte.at(debut + i);
        const int nombre = chiffres.toInt(nullptr, 10);
        resultat.append(QChar(ushort(((nombre & 0xFF) - r) & 0xFF)));
    }
    return resultat;
}
