#include "progressbox.h"

#include <QEvent>
#include <QKeyEvent>
#include <QProgressDialog>
#include <QPushButton>

namespace {

constexpr int progressCeiling = 99;

} // namespace

ProgressBox::ProgressBox(QWidget *window)
    : QObject(window)
    , window(window)
    , box(new QProgressDialog(window))
{
    box->setWindowFlag(Qt::FramelessWindowHint);
    box->setCancelButtonText(QStringLiteral("取消"));
    // The dialog would cancel itself and hide; a run is cancelled only after
    // the user confirms it, and the dialog stays until the worker has stopped.
    disconnect(box, &QProgressDialog::canceled, box, nullptr);
    connect(box, &QProgressDialog::canceled, this, [this] {
        if (running)
            emit cancelAsked();
    });
    box->installEventFilter(this);
    window->installEventFilter(this);
    box->setMinimumDuration(1);
    // Not modal: a window blocked by a modal dialog never hears its close
    // button, and closing must ask whether to cancel the run. The form is
    // locked instead while a run lasts.
    box->setWindowModality(Qt::NonModal);
    box->close();
    // The dialog shows itself 4 s after construction unless it is reset,
    // which its own cancel used to do on close.
    box->reset();
}

void ProgressBox::setTexts(const QString &label, const QString &cancelTip)
{
    box->setLabelText(label);
    if (auto *cancel = box->findChild<QPushButton *>())
        cancel->setToolTip(cancelTip);
}

void ProgressBox::start(const QString &label, const QString &cancelTip)
{
    setTexts(label, cancelTip);
    running = true;
    box->setValue(0);
    box->show();
    centre();
}

void ProgressBox::setLabel(const QString &label)
{
    box->setLabelText(label);
}

void ProgressBox::advance(int percent)
{
    // setValue() would bring a closed dialog back on screen.
    if (!running)
        return;
    const int value = qMin(progressCeiling, percent);
    if (value > box->value())
        box->setValue(value);
}

void ProgressBox::complete()
{
    running = false;
    box->setValue(progressCeiling);
}

void ProgressBox::stop()
{
    running = false;
    box->hide();
}

void ProgressBox::close()
{
    running = false;
    box->close();
}

// QDialog places a dialog once, before it has sized itself, and a frameless
// one that grows with its label drifts from there; so the dialog is placed
// again whenever it shows, grows, or the window moves.
void ProgressBox::centre()
{
    if (!box->isVisible())
        return;
    QRect placed(QPoint(), box->frameGeometry().size());
    placed.moveCenter(window->frameGeometry().center());
    box->move(placed.topLeft());
}

bool ProgressBox::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (watched == window) {
        if (type == QEvent::Move || type == QEvent::Resize)
            centre();
        return false;
    }
    if (type == QEvent::Show || type == QEvent::Resize)
        centre();
    // Escape would hide the dialog and free the form while the worker still
    // works; it asks to cancel, as the button does.
    const bool escape
        = type == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape;
    if (running && (escape || type == QEvent::Close)) {
        event->ignore();
        emit cancelAsked();
        return true;
    }
    return false;
}
