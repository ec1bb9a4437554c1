#include "server/grappe/grappe.h"

#include "server/banque/adressebase.h"

#include <QRandomGenerator>
#include <QUrl>
#include <QUrlQuery>

QString nouvelleOrigine()
{
    return QStringLiteral("qovi-server-%1").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

QString adresseAvecOrigine(const QString &adresse, const QString &origine)
{
    if (!estAdressePostgres(adresse))
        return adresse;
    QUrl url(adresse);
    QUrlQuery elements(url);
    elements.removeAllQueryItems(QStringLiteral("application_name"));
    elements.addQueryItem(QStringLiteral("application_name"), origine);
    url.setQuery(elements);
    return url.toString(QUrl::FullyEncoded);
}
