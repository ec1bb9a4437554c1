// The smallest Qt program with a window: the baseline for the client's start-up.

#include <QApplication>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QWidget fenetre;
    fenetre.show();
    return application.exec();
}
