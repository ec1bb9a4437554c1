// Checking a key compares its derivation with the stored one in a time that
// does not tell where they first differ.

#include "server/banque/empreinte.h"

#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <vector>

namespace {

// The median time of comparing a with b, in nanoseconds.
qint64 duree(const QByteArray &a, const QByteArray &b)
{
    std::vector<qint64> mesures;
    for (int fois = 0; fois < 9; ++fois) {
        QElapsedTimer montre;
        montre.start();
        const bool egales = egalesEnTempsConstant(a, b);
        mesures.push_back(montre.nsecsElapsed());
        if (egales)
            return -1;
    }
    std::nth_element(mesures.begin(), mesures.begin() + 4, mesures.end());
    return mesures[4];
}

} // namespace

class TestEmpreinte : public QObject
{
    Q_OBJECT

private slots:
    void verificationParLaComparaison();
    void tempsSansRapportAvecLaDifference();
};

// Right and wrong keys alike are decided by the constant-time comparison.
void TestEmpreinte::verificationParLaComparaison()
{
    const QString empreinte = empreinteCle(QStringLiteral("11111222223333344444"));
    const quint64 avant = comparaisonsEnTempsConstant();
    QVERIFY(verifierCle(QStringLiteral("11111222223333344444"), empreinte));
    QVERIFY(!verifierCle(QStringLiteral("11111222223333344445"), empreinte));
    QCOMPARE(comparaisonsEnTempsConstant() - avant, quint64(2));
}

// Large arrays make a scan that stops at the first difference (memcmp, ==)
// thousands of times faster when it comes first: here both take as long.
void TestEmpreinte::tempsSansRapportAvecLaDifference()
{
    const QByteArray reference(8 * 1024 * 1024, 'x');
    QByteArray debut = reference;
    debut[0] = 'y';
    QByteArray fin = reference;
    fin[fin.size() - 1] = 'y';
    const qint64 tot = duree(reference, debut);
    const qint64 tard = duree(reference, fin);
    QVERIFY(tot > 0 && tard > 0);
    QVERIFY2(tot * 4 > tard, qPrintable(QStringLiteral("%1 ns against %2 ns").arg(tot).arg(tard)));
}

QTEST_GUILESS_MAIN(TestEmpreinte)
#include "tst_empreinte.moc"
