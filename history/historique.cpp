#include "history/historique.h"

#include "history/lecturehistorique.h"

#include <QFile>
#include <QLocale>
#include <QTextStream>

namespace {

QString nomFichier(const QString &compte)
{
    return compte + QLatin1String(".log");
}

// The characters that end a line for a reader of the file or for the history
// view: the mandatory breaks of Unicode.
bool finDeLigne(QChar caractere)
{
    switch (caractere.unicode()) {
    case 0x000A: // line feed
    case 0x000B: // vertical tab
    case 0x000C: // form feed
    case 0x000D: // carriage return
    case 0x0085: // next line
    case 0x2028: // line separator
    case 0x2029: // paragraph separator
        return true;
    default:
        return false;
    }
}

QString surUneLigne(QString texte)
{
    for (QChar &caractere : texte) {
        if (finDeLigne(caractere))
            caractere = QLatin1Char(' ');
    }
    return texte;
}

} // namespace

QString ligneHistorique(const QDateTime &moment, const QString &corps)
{
    return QLocale::c().toString(moment, QStringLiteral("yyyy-MM-dd hh-mm-ss")) + surUneLigne(corps)
        + QLatin1Char('\n');
}

void ajouterHistorique(const QString &compte, const QString &corps)
{
    QFile fichier(nomFichier(compte));
    if (!fichier.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    QTextStream flux(&fichier);
    flux << ligneHistorique(QDateTime::currentDateTime(), corps);
    flux.flush();
}

QString lireHistorique(const QString &compte)
{
    LectureHistorique lecture(compte);
    if (!lecture.ouverte())
        return QString();
    QString texte(QLatin1String("")); // read, even if empty: not null
    while (!lecture.finie())
        texte += lecture.morceauSuivant(1024 * 1024);
    return texte;
}

bool nomDeFichierSimple(const QString &compte)
{
    return !compte.isEmpty() && !compte.contains(QLatin1Char('/')) && !compte.contains(QLatin1Char('\\'))
        && compte != QLatin1String(".") && compte != QLatin1String("..");
}
