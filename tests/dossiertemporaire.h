#ifndef DOSSIERTEMPORAIRE_H
#define DOSSIERTEMPORAIRE_H

#include <QDir>
#include <QTemporaryDir>

// A fresh, empty working directory for one test, left again on destruction.
// It is a folder inside a private temporary folder, so that a file written
// beside it ("../x") can be seen too.
class DossierTemporaire
{
public:
    DossierTemporaire()
        : precedent(QDir::currentPath())
    {
        QDir(racine.path()).mkdir(QStringLiteral("travail"));
        QDir::setCurrent(chemin());
    }
    ~DossierTemporaire() { QDir::setCurrent(precedent); }

    QString chemin() const { return racine.filePath(QStringLiteral("travail")); }
    QString parent() const { return racine.path(); }

private:
    QTemporaryDir racine;
    QString precedent;
};

#endif
