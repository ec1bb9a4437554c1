#include "identity/cle.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTextStream>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A hand-edited file often ends with a line end; it is not part of the key.
QString sansFinsDeLigne(QString texte)
{
    while (texte.endsWith(QLatin1Char('\n')) || texte.endsWith(QLatin1Char('\r')))
        texte.chop(1);
    return texte;
}

QString lireFichier(QFile &fichier)
{
    QTextStream flux(&fichier);
    return sansFinsDeLigne(flux.readAll());
}

// Whether anything at all stands at nom, a symbolic link even if it leads
// nowhere. When that cannot be told, something is assumed to be there.
bool quelqueChoseA(const QString &nom, QString *raison)
{
#ifdef Q_OS_UNIX
    struct stat etat;
    if (::lstat(QFile::encodeName(nom).constData(), &etat) == 0) {
        if (S_ISLNK(etat.st_mode) && !QFileInfo::exists(nom))
            *raison = QStringLiteral("it is a symbolic link to a file that does not exist");
        return true;
    }
    if (errno == ENOENT)
        return false;
    *raison = qt_error_string(errno);
    return true;
#else
    return QFileInfo(nom).isSymLink() || QFileInfo::exists(nom);
#endif
}

QString messageIlisible(const QString &nom, const QString &raison)
{
    return QStringLiteral("The key file %1 exists but cannot be read (%2). It has been left as it is and no new "
                          "key has been made: without it the server will refuse this account. Make the file "
                          "readable again, or put the right key file back, then restart the program.")
        .arg(QFileInfo(nom).absoluteFilePath(), raison);
}

} // namespace

CreationCle creerFichierCle(const QString &nom, const QString &cle)
{
    QFile fichier(nom);
#ifdef Q_OS_UNIX
    const int descripteur = ::open(QFile::encodeName(nom).constData(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descripteur < 0)
        return errno == EEXIST || errno == ELOOP ? CreationCle::DejaLa : CreationCle::Impossible;
    ::fchmod(descripteur, 0600); // whatever the umask
    if (!fichier.open(descripteur, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(descripteur);
        return CreationCle::Impossible;
    }
#else
    if (!fichier.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Text))
        return QFileInfo::exists(nom) ? CreationCle::DejaLa : CreationCle::Impossible;
    fichier.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#endif
    QTextStream flux(&fichier);
    flux << cle;
    flux.flush();
    if (flux.status() != QTextStream::Ok || !fichier.flush()) {
        // A cut key would be read back as the key at the next start.
        fichier.close();
        QFile::remove(nom);
        return CreationCle::Impossible;
    }
    return CreationCle::Faite;
}

int groupeCle(quint32 tirage)
{
    return int(tirage % 90000) + 10000;
}

QString nouvelleCle()
{
    QRandomGenerator *source = QRandomGenerator::system();
    QString cle;
    for (int groupe = 0; groupe < 4; ++groupe)
        cle += QString::number(groupeCle(source->generate()));
    return cle;
}

QString chargerCle(const QString &compte, QString *probleme)
{
    QFile fichier(compte + QLatin1String(".key"));
    if (fichier.open(QIODevice::ReadOnly | QIODevice::Text))
        return lireFichier(fichier);

    // The key of an account cannot be made again: a file that is there is never replaced.
    QString raison = fichier.errorString();
    if (quelqueChoseA(fichier.fileName(), &raison)) {
        if (probleme)
            *probleme = messageIlisible(fichier.fileName(), raison);
        return QString();
    }

    // An unwritable directory is not reported: the key still serves this run.
    const QString cle = nouvelleCle();
    if (creerFichierCle(fichier.fileName(), cle) == CreationCle::DejaLa) {
        if (probleme)
            *probleme = messageIlisible(fichier.fileName(), QStringLiteral("it appeared while a new key was made"));
        return QString();
    }
    return cle;
}
