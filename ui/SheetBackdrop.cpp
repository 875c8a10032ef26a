#include "ui/SheetBackdrop.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace vantrel {

namespace {
constexpr int kShadowSize = 10;
}  // namespace

SheetBackdrop::SheetBackdrop(QWidget* window, QWidget* sheet) : QWidget(window), sheet_(sheet) {
    setFocusPolicy(Qt::NoFocus);
    setGeometry(window->rect());
    sheet->installEventFilter(this);  // the shadow follows the sheet when it shakes
}

bool SheetBackdrop::eventFilter(QObject* watched, QEvent* event) {
    if (watched == sheet_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
                              event->type() == QEvent::Hide)) {
        update();
    }
    return QWidget::eventFilter(watched, event);
}

void SheetBackdrop::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 28));
    if (!sheet_ || !sheet_->isVisible()) {
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF panel = QRectF(sheet_->geometry()).adjusted(0, -kShadowSize, 0, 0);
    for (int i = kShadowSize; i > 0; --i) {
        QPainterPath ring;
        ring.addRoundedRect(panel.adjusted(-i, 0, i, i), 8 + i, 8 + i);
        painter.fillPath(ring, QColor(0, 0, 0, 6));
    }
}

// The window behind the sheet is blocked: its mouse input ends here.
void SheetBackdrop::mousePressEvent(QMouseEvent* event) {
    event->accept();
}
void SheetBackdrop::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
}
void SheetBackdrop::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
}
void SheetBackdrop::wheelEvent(QWheelEvent* event) {
    event->accept();
}

}  // namespace vantrel
