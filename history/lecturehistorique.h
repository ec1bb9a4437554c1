#ifndef LECTUREHISTORIQUE_H
#define LECTUREHISTORIQUE_H

#include <QFile>
#include <QString>

#include <memory>

class QTextDecoder;

// Reads "<compte>.log" from the working directory a piece at a time, and only
// what it held when it was opened: records appended meanwhile are left for
// the next start. The text is what a QTextStream reading the file in text mode
// gives: the locale's encoding (or the one a byte-order mark names), carriage
// returns dropped. The file is closed once it has been read to that end.
class LectureHistorique
{
public:
    explicit LectureHistorique(const QString &compte);
    ~LectureHistorique();
    LectureHistorique(const LectureHistorique &) = delete;
    LectureHistorique &operator=(const LectureHistorique &) = delete;

    // False when the file could not be opened: there is nothing to show.
    bool ouverte() const;
    bool finie() const;

    // The text of the next octets bytes at most; an empty text once finie().
    QString morceauSuivant(qint64 octets);

private:
    QFile fichier;
    bool aOuvert = false;
    qint64 restant = 0;
    std::unique_ptr<QTextDecoder> decodeur;
};

#endif
