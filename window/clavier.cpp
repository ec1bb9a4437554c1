#include "window/clavier.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QLineEdit>

void entreePresseLeBouton(QLineEdit *champ, QAbstractButton *bouton)
{
    QObject::connect(champ, &QLineEdit::returnPressed, bouton, &QAbstractButton::click);
}

// A spin box reports Enter through its own line edit, once it has taken in
// what was typed, so the button sees the value on screen.
void entreePresseLeBouton(QAbstractSpinBox *champ, QAbstractButton *bouton)
{
    if (auto *saisie = champ->findChild<QLineEdit *>())
        entreePresseLeBouton(saisie, bouton);
}
