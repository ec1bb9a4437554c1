#include "window/chargementhistorique.h"

#include "window/journal.h"

#include <QTextEdit>

namespace {

// About a thousand records: a few milliseconds to lay out.
constexpr qint64 tailleMorceau = 64 * 1024;

} // namespace

ChargementHistorique::ChargementHistorique(QTextEdit *vue, const QString &compte)
    : QObject(vue)
    , vue(vue)
    , lecture(compte)
{
    if (!lecture.ouverte())
        return; // no history yet: nothing is shown
    connect(&tour, &QTimer::timeout, this, &ChargementHistorique::montrerMorceau);
    tour.start(0);
}

void ChargementHistorique::montrerMorceau()
{
    const QString morceau = lecture.morceauSuivant(tailleMorceau);
    // The file is one block of text: its pieces join where they were cut.
    if (premierMorceau)
        ajouterParagrapheTexte(vue, morceau);
    else
        prolongerParagrapheTexte(vue, morceau);
    premierMorceau = false;
    if (lecture.finie())
        tour.stop();
}
