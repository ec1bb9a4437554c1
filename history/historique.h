#ifndef HISTORIQUE_H
#define HISTORIQUE_H

#include <QDateTime>
#include <QString>

// One record of "<account>.log": the timestamp "yyyy-MM-dd hh-mm-ss", the body
// (event marker and fields) and a line feed. The fields come from a server: a
// line break in them (CR, LF, or another Unicode line or paragraph separator)
// becomes a space, so that a record always stays one line.
QString ligneHistorique(const QDateTime &moment, const QString &corps);

// Appends one record to "<compte>.log" in the working directory; a file that
// cannot be opened loses the record silently.
void ajouterHistorique(const QString &compte, const QString &corps);

// Everything "<compte>.log" holds, or a null text when it cannot be read.
QString lireHistorique(const QString &compte);

// Whether a text that a server supplies as an account number may name a file
// of the working directory: not empty, no separator, not "." or "..".
bool nomDeFichierSimple(const QString &compte);

#endif
