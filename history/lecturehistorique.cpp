#include "history/lecturehistorique.h"

#include <QTextCodec>
#include <QTextDecoder>

#include <algorithm>

LectureHistorique::LectureHistorique(const QString &compte)
    : fichier(compte + QLatin1String(".log"))
{
    aOuvert = fichier.open(QIODevice::ReadOnly);
    if (aOuvert)
        restant = fichier.size();
}

LectureHistorique::~LectureHistorique() = default;

bool LectureHistorique::ouverte() const
{
    return aOuvert;
}

bool LectureHistorique::finie() const
{
    return !aOuvert || restant == 0;
}

QString LectureHistorique::morceauSuivant(qint64 octets)
{
    if (finie())
        return QString();
    QByteArray lus = fichier.read(qMin(octets, restant));
    restant = lus.isEmpty() ? 0 : restant - lus.size(); // a file cut short ends here
    if (restant == 0)
        fichier.close();

    if (!decodeur) {
        // As QTextStream: a byte-order mark at the start names the encoding.
        QTextCodec *codec = QTextCodec::codecForUtfText(lus, QTextCodec::codecForLocale());
        decodeur.reset(codec->makeDecoder());
    }
    // Text mode drops every carriage return before decoding.
    lus.truncate(int(std::remove(lus.begin(), lus.end(), '\r') - lus.begin()));
    return decodeur->toUnicode(lus);
}
