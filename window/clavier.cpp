#include "window/clavier.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>

namespace {

class SelectionAuFocus : public QObject
{
public:
    explicit SelectionAuFocus(QLabel *etiquette)
        : QObject(etiquette)
        , etiquette(etiquette)
    {
    }

protected:
    bool eventFilter(QObject *objet, QEvent *evenement) override
    {
        // A mouse press that gives the focus makes its own selection right after.
        if (objet == etiquette && evenement->type() == QEvent::FocusIn)
            etiquette->setSelection(0, etiquette->text().size());
        return false;
    }

private:
    QLabel *etiquette;
};

} // namespace

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

void texteCopiableAuClavier(QLabel *etiquette)
{
    // Keyboard selection alone gives a label the focus on a click only.
    etiquette->setTextInteractionFlags(etiquette->textInteractionFlags() | Qt::TextSelectableByKeyboard);
    etiquette->setFocusPolicy(Qt::StrongFocus);
    etiquette->installEventFilter(new SelectionAuFocus(etiquette));
}
