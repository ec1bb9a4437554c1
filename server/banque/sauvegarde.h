#ifndef SAUVEGARDE_H
#define SAUVEGARDE_H

#include <QString>

// A consistent copy of a live SQLite database, taken with SQLite's online
// backup from one read snapshot: servers go on writing meanwhile. The copy is
// a new file, readable by its owner only, in rollback-journal mode so that it
// is complete on its own.
enum class IssueSauvegarde {
    Faite,
    CibleExistante,      // the copy's file exists already: it is never overwritten
    CibleImpossible,     // the copy's file cannot be created
    SourceInjoignable,   // the database cannot be opened
    SourceOccupee,       // the database stayed locked
    EcritureImpossible,  // writing the copy failed (a full disk...)
};

IssueSauvegarde sauvegarderSqlite(const QString &source, const QString &cible, QString *erreur);

#endif
