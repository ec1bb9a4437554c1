#include "app/gardeinstance.h"

#include <QMessageBox>
#include <QSharedMemory>

void effacerSegmentAbandonne(QSharedMemory &segment)
{
    // Detaching the last attachment removes the segment; a live one keeps its holder.
    QSharedMemory sonde(segment.key());
    if (sonde.attach(QSharedMemory::ReadOnly))
        sonde.detach();
}

bool autreInstanceActive(QSharedMemory &segment)
{
    if (segment.attach(QSharedMemory::ReadWrite))
        return true;
    segment.create(1, QSharedMemory::ReadWrite);
    return false;
}

void signalerAutreInstance()
{
    QMessageBox boite;
    boite.setIcon(QMessageBox::Warning);
    boite.setText(QStringLiteral("You already have this app running.\r\nOnly one instance is allowed."));
    boite.exec();
}
