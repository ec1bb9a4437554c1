#include "identity/compte.h"

#include <QApplication>
#include <QMessageBox>
#include <QNetworkInterface>

QString choisirCompte(const QStringList &adressesMateriel)
{
    for (const QString &adresse : adressesMateriel) {
        const QString candidat = QString(adresse).remove(QLatin1Char(':'));
        if (candidat.size() == 12 && candidat != QLatin1String("000000000000")
            && candidat != QLatin1String("FFFFFFFFFFFF"))
            return candidat;
    }
    return QString();
}

QString identifiantCompte()
{
    QStringList adresses;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces)
        adresses.append(interface.hardwareAddress());

    const QString compte = choisirCompte(adresses);
    if (!compte.isEmpty())
        return compte;

    QMessageBox::critical(nullptr, QStringLiteral("Error MAC@"), QStringLiteral("No MAC address detected"));
    QApplication::closeAllWindows();
    QCoreApplication::quit();
    return QString();
}
