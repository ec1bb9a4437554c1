#include "app/gardeinstance.h"
#include "window/fenclient.h"

#include <QApplication>
#include <QSharedMemory>
#include <QSystemSemaphore>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);

    // The semaphore makes check-and-create atomic between instances started together.
    QSystemSemaphore verrou(QStringLiteral("<unique identifier>"), 1, QSystemSemaphore::Open);
    verrou.acquire();
    QSharedMemory segment(QStringLiteral("<unique identifier 2>"));
    effacerSegmentAbandonne(segment);
    const bool refuse = autreInstanceActive(segment);
    verrou.release(1);

    if (refuse) {
        signalerAutreInstance();
        return 1;
    }

    FenClient fenetre;
    if (fenetre.demarrageAbandonne())
        return 0; // the quit asked for during construction: no window, no event loop
    fenetre.show();
    return application.exec();
}
