#ifndef CODECPASAPAS_H
#define CODECPASAPAS_H

// The codec written out step by step, as the wire format describes it, with
// nothing shared with wire/codec.cpp: the reference that the codec's one-pass
// code must match unit for unit (used by tst_codec and the fuzz target).

#include <QString>

namespace pasapas {

// (0x7F - low byte) modulo 256; only the low 8 bits of a unit are read.
inline ushort complement(ushort unite)
{
    return ushort((0x7F - (unite & 0xFF)) & 0xFF);
}

inline QString complementer(const QString &texte)
{
    QString resultat;
    for (const QChar unite : texte)
        resultat.append(QChar(complement(unite.unicode())));
    return resultat;
}

// complementer, demelanger and complementer again. A group's digits are read
// the way QString::toInt reads them, and a group cut short is padded with U+0000.
inline QString debrouiller(const QString &texte)
{
    const QString complemente = pasapas::complementer(texte);
    QString demele;
    for (int debut = 0; debut < complemente.size(); debut += 4) {
        const int r = complemente.at(debut).unicode() & 0xFF;
        QString chiffres(3, QChar(0));
        for (int i = 1; i <= 3 && debut + i < complemente.size(); ++i)
            chiffres[i - 1] = complemente.at(debut + i);
        const int nombre = chiffres.toInt(nullptr, 10);
        demele.append(QChar(ushort(((nombre & 0xFF) - r) & 0xFF)));
    }
    return pasapas::complementer(demele);
}

// The group that brouiller must send for one unit when its random value is r
// (0..127): the complemented r, then the three decimal digits of
// r + complement(unit), each complemented.
inline QString groupe(ushort unite, int r)
{
    const int somme = r + complement(unite);
    const QString chiffres = QString::number(somme, 10).rightJustified(3, QLatin1Char('0'));
    return pasapas::complementer(QString(QChar(ushort(r))) + chiffres);
}

} // namespace pasapas

#endif
