#include "identity/cle.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTextStream>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString lireFichier(QFile &fichier)
{
    QTextStream flux(&fichier);
    return flux.readAll();
}

// The key is a secret: the file is created readable by its owner only, so that
// it is never readable by others, not even for a moment.
bool ouvrirPourEcriturePrivee(QFile &fichier)
{
#ifdef Q_OS_UNIX
    const QByteArray chemin = QFile::encodeName(fichier.fileName());
    const int descripteur = ::open(chemin.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descripteur < 0)
        return false;
    ::fchmod(descripteur, 0600);
    return fichier.open(descripteur, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle);
#else
    if (!fichier.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    fichier.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
#endif
}

} // namespace

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

QString chargerCle(const QString &compte)
{
    QFile fichier(compte + QLatin1String(".key"));
    if (fichier.open(QIODevice::ReadOnly | QIODevice::Text))
        return lireFichier(fichier);

    // An unwritable file or directory is not reported: the key still serves this run.
    const QString cle = nouvelleCle();
    if (ouvrirPourEcriturePrivee(fichier)) {
        QTextStream flux(&fichier);
        flux << cle;
        flux.flush();
        fichier.close();
    }
    return cle;
}
