#include "server/grappe/grappe.h"

#include "server/banque/adressebase.h"
#include "server/banque/adressepostgres.h"

#include <QRandomGenerator>

QString nouvelleOrigine()
{
    return QStringLiteral("qovi-server-%1").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

QString adresseAvecOrigine(const QString &adresse, const QString &origine)
{
    if (!estAdressePostgres(adresse))
        return adresse;
    return adresseAvecOption(adresse, QStringLiteral("application_name"), origine);
}
