#pragma once

#include <QPointer>
#include <QWidget>

namespace vantrel {

// What lies between a window and the sheet it presents: it covers the whole window, dims it,
// draws the sheet's shadow and takes every mouse press meant for the window, so that nothing
// behind the sheet can be used or take the keyboard focus from it.
class SheetBackdrop : public QWidget {
    Q_OBJECT
  public:
    SheetBackdrop(QWidget* window, QWidget* sheet);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

  private:
    QPointer<QWidget> sheet_;
};

}  // namespace vantrel
