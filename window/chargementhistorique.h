#ifndef CHARGEMENTHISTORIQUE_H
#define CHARGEMENTHISTORIQUE_H

#include "history/lecturehistorique.h"

#include <QObject>
#include <QTimer>

class QTextEdit;

// Shows the history file "<compte>.log" in vue a piece at a time, on the turns
// of the event loop that follow: the window shows and answers at once, however
// long the file is, and the whole file ends up in vue. Belongs to vue.
class ChargementHistorique : public QObject
{
public:
    ChargementHistorique(QTextEdit *vue, const QString &compte);

private:
    void montrerMorceau();

    QTextEdit *vue;
    LectureHistorique lecture;
    QTimer tour;
    bool premierMorceau = true;
};

#endif
